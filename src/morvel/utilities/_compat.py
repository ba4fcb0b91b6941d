"""Version differences of the libraries morvel builds on, in one place."""
from __future__ import annotations

import numpy as np
import pandas as pd

_PD_VERSION = tuple(int(p) for p in pd.__version__.split(".")[:2] if p.isdigit())

PANDAS_GE_30 = _PD_VERSION >= (3, 0)
NUMPY_GE_20 = tuple(int(p) for p in np.__version__.split(".")[:1]) >= (2,)
