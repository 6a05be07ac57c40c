// The series file written by a run, read back through HDF5's C library.
#include <gtest/gtest.h>
