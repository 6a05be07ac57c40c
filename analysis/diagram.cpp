#include "analysis/diagram.hpp"
