"""A diagram added to a series file with h5py, as phasegrid --diagram lays it out."""

import h5py
import numpy as np



def add_diagram(path, name, spec, axes, cells, status, **attrs):
    """Diagram `name` of `cells` (D, Y, X) and `status` (D,); `axes` the x
    and y axis, each (coordinate, quantity, scale, edges, long_name, units),
    a coordinate the file holds already shared; `attrs` the variable's
    long_name and units."""
    with h5py.File(path, "a") as f:
        if "bounds" not in f:
            f.create_dataset("bounds", (2,), "f4").make_scale("This is a netCDF dimension but not a netCDF variable.")
        if not h5py.h5ds.is_scale(f["dump"].id):
            f["dump"].make_scale("dump")
        v = f.create_dataset(name, data=cells, chunks=(1,) + cells.shape[1:], compression="gzip", shuffle=True)
        v.dims[0].attach_scale(f["dump"])
        for dim, (axis, quantity, scale, edges, long_name, units) in zip((2, 1), axes):
            if axis not in f:
                c = f.create_dataset(axis, data=(edges[:-1] + edges[1:]) / 2)
                c.make_scale(axis)
                c.attrs.update(long_name=long_name, bounds=axis + "_bounds", quantity=quantity, scale=scale,
                               **({"units": units} if units else {}))
                b = f.create_dataset(axis + "_bounds", data=np.column_stack((edges[:-1], edges[1:])))
                b.dims[0].attach_scale(c)
                b.dims[1].attach_scale(f["bounds"])
            v.dims[dim].attach_scale(f[axis])
        v.attrs.update(spec=spec, coordinates=f"time time_s time_ff status complete {name}_status", **attrs)
        s = f.create_dataset(name + "_status", data=np.asarray(status, np.int8))
        s.dims[0].attach_scale(f["dump"])
        s.attrs.update(flag_values=np.arange(4, dtype=np.int8),
                       flag_meanings="binned lacks_quantity no_mass_unit not_binned")
        f.attrs.modify("diagrams", f"{f.attrs.get('diagrams', '')} {name}".strip())  # (written again in place)
