"""The `vorn` command: its verbs, what they print, and when they exit 1.

One module per verb (`info`, `convert`, `plot`, `features`, `pulses`, `hist`,
`follow`, `fit`, `average`, `monitor`), each declaring its subparser in
`add_parser` and doing its work in `run`. Options that several verbs take are
declared once in `options`, which also checks a parsed command line once
(`check`) into the values every verb relies on; `common` holds the exit
statuses, the one-line errors and the checks of inputs and outputs; `tasks`
turns the inputs of the verbs that measure events into the library's tasks.
`cli` only assembles the parsers and maps failures to exit statuses.

Everything here stands on the library beside it (reading, runs, features,
histograms, outputs, analysis) and nothing there reaches back up, so the
library stays usable, and testable, without the command.
"""
