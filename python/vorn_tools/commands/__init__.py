"""The `vorn` command: its verbs, what they print, and when they exit 1.

Everything here stands on the library beside it (reading, runs, features,
histograms, outputs, analysis) and nothing there reaches back up, so the
library stays usable, and testable, without the command.
"""
