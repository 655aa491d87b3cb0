"""Helpers shared by the test layers: K matrices and network peers (support),
hypothesis settings (settings), sample-market fixtures (markets) and the run
fixture (runs)."""
