"""tarnwood: fast tree ensembles with a C++ engine (the `_rs` extension)."""
__version__ = "0.1.0"
