"""Flatfiles: one row per recording of every record under some folders, with
the intensity measures, spectra and rotated measures of its components, as
Parquet or CSV.  Resumable, and parallel on local processes or a Dask cluster.
"""
from .run import Report, run
from .schema import Column, Schema

__all__ = ["Column", "Report", "Schema", "run"]
