"""veltrix: dataflow pipelines recorded into an interned, optimisable graph."""
