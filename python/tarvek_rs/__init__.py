"""Hidden semi-Markov models with explicit Gaussian durations and Gaussian-mixture emissions."""

from tarvek_rs import _tarvek_rs
from tarvek_rs._tarvek_rs import *  # noqa: F401,F403

__all__ = list(_tarvek_rs.__all__)
__version__ = _tarvek_rs.__version__
