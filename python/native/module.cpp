// phasegrid._dump: the tool's dump reader and binning for Python. Thin:
// the work is dump_arrays.cpp's; here Python's lock is let go around it,
// numpy arrays are made for it to fill, and what went wrong becomes a
// Fault(kind, line, offset), which the package raises as its own exception.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "analysis/phase_grid.hpp"
#include "analysis/quantity_values.hpp"
#include "base/error.hpp"
#include "dump/record.hpp"
#include "dump_arrays.hpp"
#include "format/array_catalogue.hpp"

namespace py = pybind11;

namespace pg::python {

namespace {

struct FaultTag {};
py::object fault_type;

// The Python exception of an error of the reader or of the run.
[[noreturn]] void raise(std::string_view kind, const std::string& line, std::int64_t offset) {
  PyErr_SetObject(fault_type.ptr(), py::make_tuple(kind, line, offset).ptr());
  throw py::error_already_set();
}

// Runs f, turning the tool's errors into Python's.
template <class F>
auto checked(F&& f) {
  try {
    return f();
  } catch (const Error& e) {
    raise(fault_name(e.kind), fault_text(e), e.offset);
  } catch (const OpenFailed& e) {
    if (e.error == 0) raise("not_regular", "\"" + e.path + "\" is not a regular file", -1);
    errno = e.error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, e.path.c_str());
    throw py::error_already_set();
  }
}

Quantity quantity_named(const std::string& name) {
  const std::optional<Quantity> q = find_quantity(name);
  if (!q) throw py::value_error("no quantity \"" + name + "\" (phasegrid.quantities() lists them)");
  return *q;
}

py::array new_array(char type, std::int64_t n) {
  if (type == 'f') return py::array_t<float>(n);
  return py::array_t<double>(n);
}

// The particles' phases go by this name among the quantities.
constexpr const char* phases_name = "iphase";

py::dict read_file(const std::string& path, std::optional<std::vector<std::string>> names, bool partial) {
  std::vector<Quantity> asked;
  bool phases_asked = !names;
  if (names)
    for (const std::string& name : *names) {
      if (name == phases_name)
        phases_asked = true;
      else
        asked.push_back(quantity_named(name));
    }
  else
    for (const QuantityInfo& i : quantities()) asked.push_back(i.q);
  return checked([&] {
    std::optional<ReadDump> dump;
    {
      py::gil_scoped_release unlocked;
      dump.emplace(path, asked);
    }
    const ReadEnd& end = dump->end();
    if (end.ended_early && !partial) raise("ended_early", DumpEnded::line, end.offset);
    if (!names) asked = dump->carried();
    for (const Quantity q : asked)
      if (!dump->carries(q))
        throw py::key_error(std::string(info(q).name) + ": not in every block of particles the dump holds");

    const std::int64_t n = dump->particles();
    py::dict arrays;
    std::vector<std::pair<Quantity, void*>> fills;
    for (const Quantity q : asked) {
      if (arrays.contains(info(q).name.data())) continue;
      py::array a = new_array(quantity_type(q), n);
      fills.emplace_back(q, a.mutable_data());
      arrays[py::str(std::string(info(q).name))] = a;
    }
    std::int8_t* phases = nullptr;
    if (phases_asked) {
      py::array_t<std::int8_t> a(n);
      phases = a.mutable_data();
      arrays[phases_name] = a;
    }
    {
      py::gil_scoped_release unlocked;
      for (const auto& [q, dst] : fills) dump->fill(q, dst);
      if (phases != nullptr) dump->fill_phases(phases);
      dump->check_unchanged();
    }

    py::dict header;
    for (const HeaderValue& h : dump->header())
      header[py::str(h.name)] = h.integer ? py::object(py::int_(static_cast<std::int64_t>(h.value)))
                                          : py::object(py::float_(h.value));
    py::dict sinks;
    for (const SinkColumn& c : dump->sinks()) {
      if (c.integer) {
        py::array_t<std::int64_t> a(static_cast<py::ssize_t>(c.values.size()));
        for (std::size_t k = 0; k < c.values.size(); ++k) a.mutable_at(k) = static_cast<std::int64_t>(c.values[k]);
        sinks[py::str(c.name)] = a;
      } else {
        sinks[py::str(c.name)] = py::array_t<double>(static_cast<py::ssize_t>(c.values.size()), c.values.data());
      }
    }
    py::list blocks;
    for (const BlockRead& b : end.blocks) {
      py::list carried;
      for (const QuantityInfo& i : quantities())
        if (is_array(i.q) && (b.carried & arrays_of(i.q)) == arrays_of(i.q)) carried.append(i.name.data());
      blocks.append(py::dict(py::arg("offset") = b.offset, py::arg("first") = b.first - 1,
                             py::arg("particles") = b.particles, py::arg("sinks") = b.sinks,
                             py::arg("radiative") = b.radiative, py::arg("quantities") = carried));
    }
    py::dict out;
    out["path"] = path;
    out["arrays"] = arrays;
    out["particles"] = n;
    out["header"] = header;
    out["sinks"] = sinks;
    out["blocks"] = blocks;
    out["identification"] = py::dict(py::arg("tagged") = end.tagged, py::arg("format_version") = end.format_version,
                                     py::arg("file_identifier") = py::bytes(end.file_ident));
    out["ended_early"] = end.ended_early;
    out["offset"] = end.offset;
    out["warnings"] = dump->warnings();
    return out;
  });
}

// The diagrams' cells and what a caller labels them with.
py::list diagrams_out(const Diagrams& d, const std::vector<DiagramStatus>& status) {
  py::list out;
  for (std::size_t k = 0; k < d.specs().size(); ++k) {
    const DiagramSpec& s = d.specs()[k];
    const std::vector<py::ssize_t> shape{s.y.bins, s.x.bins};
    const py::array cells = s.counts() ? py::array(py::array_t<std::int32_t>(shape, d.counts(k)))
                                       : py::array(py::array_t<double>(shape, d.values(k)));
    py::dict axes[2];
    const DiagramAxis* axis[2] = {&s.x, &s.y};
    for (int a = 0; a < 2; ++a)
      axes[a] = py::dict(py::arg("quantity") = info(axis[a]->q).name.data(), py::arg("log") = axis[a]->log,
                         py::arg("name") = axis[a]->name(), py::arg("long_name") = axis[a]->long_name(),
                         py::arg("units") = axis[a]->units(), py::arg("edges") = axis[a]->edges());
    out.append(py::dict(py::arg("spec") = s.text(), py::arg("status") = static_cast<int>(status[k]),
                        py::arg("cells") = cells, py::arg("x") = axes[0], py::arg("y") = axes[1],
                        py::arg("long_name") = s.long_name(), py::arg("units") = s.units()));
  }
  return out;
}

std::vector<DiagramSpec> parsed(const std::vector<std::string>& specs) {
  std::vector<DiagramSpec> d;
  for (const std::string& s : specs) d.push_back(checked([&] { return parse_diagram(s); }));
  return d;
}

py::array_t<std::int32_t> new_grid() { return py::array_t<std::int32_t>({grid_ny, grid_nx}); }

py::object diagram_of_dump(const std::string& path, std::optional<std::vector<std::string>> specs,
                           std::array<double, 3> centre, bool partial) {
  Diagrams diagrams(specs ? parsed(*specs) : std::vector<DiagramSpec>{});
  std::vector<Quantity> uses;
  for (const DiagramSpec& d : diagrams.specs())
    for (const Quantity q : d.uses()) uses.push_back(q);
  if (!specs) uses = {Quantity::rho, Quantity::DustTemperature};
  return checked([&]() -> py::object {
    std::optional<ReadDump> dump;
    {
      py::gil_scoped_release unlocked;
      dump.emplace(path, uses);
    }
    if (dump->end().ended_early && !partial) raise("ended_early", DumpEnded::line, dump->end().offset);
    if (!specs) {
      if (!dump->carries(Quantity::DustTemperature))
        throw py::key_error("DustTemperature: not in every block of particles the dump holds");
      py::array_t<std::int32_t> grid = new_grid();
      std::int32_t* cells = grid.mutable_data();
      py::gil_scoped_release unlocked;
      dump->bin_grid(cells);
      dump->check_unchanged();
      py::gil_scoped_acquire locked;
      return grid;
    }
    std::vector<DiagramStatus> status;
    {
      py::gil_scoped_release unlocked;
      dump->bin(diagrams, centre, status);
      dump->check_unchanged();
    }
    return diagrams_out(diagrams, status);
  });
}

py::object diagram_of_arrays(const py::dict& arrays, std::optional<std::vector<std::string>> specs,
                             double umass) {
  Diagrams diagrams(specs ? parsed(*specs) : std::vector<DiagramSpec>{});
  GivenArrays given;
  std::vector<py::array> kept;  // the converted arrays, alive until binned
  bool first = true;
  for (const auto& [key, value] : arrays) {
    const std::string name = py::cast<std::string>(key);
    py::array a;
    if (name == phases_name) {
      a = py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>::ensure(value);
    } else {
      const Quantity q = quantity_named(name);
      if (!is_array(q)) throw py::value_error("\"" + name + "\" is found from other arrays: give those");
      a = quantity_type(q) == 'f'
              ? py::array(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(value))
              : py::array(py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value));
    }
    if (!a || a.ndim() != 1) throw py::value_error("\"" + name + "\" is not a one-dimensional array of numbers");
    if (!first && a.shape(0) != given.n) throw py::value_error("the arrays are not all of one length");
    given.n = a.shape(0);
    first = false;
    if (name == phases_name)
      given.phases = static_cast<const std::int8_t*>(a.data());
    else
      given.arrays[static_cast<int>(*find_quantity(name))] = a.data();
    kept.push_back(a);
  }
  return checked([&]() -> py::object {
    if (!specs) {
      if (given.arrays[static_cast<int>(Quantity::rho)] == nullptr ||
          given.arrays[static_cast<int>(Quantity::DustTemperature)] == nullptr)
        throw py::key_error("the phase grid bins rho and DustTemperature: give both");
      py::array_t<std::int32_t> grid = new_grid();
      std::int32_t* cells = grid.mutable_data();
      py::gil_scoped_release unlocked;
      bin_grid_given(given, cells);
      py::gil_scoped_acquire locked;
      return grid;
    }
    std::vector<DiagramStatus> status;
    {
      py::gil_scoped_release unlocked;
      status = bin_given(given, diagrams, umass);
    }
    return diagrams_out(diagrams, status);
  });
}

py::list quantity_table() {
  static constexpr const char* carried[] = {"always", "dust", "radiation", "chemistry"};
  py::list out;
  for (const QuantityInfo& i : quantities()) {
    const std::string type = is_array(i.q) ? (quantity_type(i.q) == 'f' ? "float32" : "float64") : "float64";
    out.append(py::dict(py::arg("name") = i.name.data(), py::arg("long_name") = std::string(i.long_name),
                        py::arg("units") = std::string(i.units), py::arg("carried") = carried[static_cast<int>(i.carried)],
                        py::arg("derived") = !is_array(i.q), py::arg("dtype") = type,
                        py::arg("formula") = std::string(i.formula)));
  }
  return out;
}

py::list fault_kind_names() {
  py::list out;
  for (int k = 0; k < fault_kinds; ++k) {
    const auto kind = static_cast<FaultKind>(k);
    if (is_dump_fault(kind)) out.append(std::string(fault_name(kind)));
  }
  return out;
}

}  // namespace

}  // namespace pg::python

PYBIND11_MODULE(_dump, m) {
  using namespace pg::python;
  m.doc() = "phasegrid's dump reader and binning (use the functions of the package phasegrid)";
  fault_type = py::exception<FaultTag>(m, "Fault");
  m.def("read", &read_file, py::arg("path"), py::arg("quantities"), py::arg("partial"));
  m.def("diagram_of_dump", &diagram_of_dump, py::arg("path"), py::arg("specs"), py::arg("centre"),
        py::arg("partial"));
  m.def("diagram_of_arrays", &diagram_of_arrays, py::arg("arrays"), py::arg("specs"), py::arg("umass"));
  m.def("quantities", &quantity_table);
  m.def("fault_kinds", &fault_kind_names);
}
