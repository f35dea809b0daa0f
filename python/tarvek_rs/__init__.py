"""Hidden semi-Markov models with explicit Gaussian durations and Gaussian-mixture emissions."""

from tarvek_rs._tarvek_rs import *  # noqa: F401,F403
from tarvek_rs._tarvek_rs import __all__ as __all__, __version__ as __version__
