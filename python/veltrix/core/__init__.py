"""The native graph core of veltrix (see :mod:`veltrix.core.veltrix_core`)."""
