"""What each command of the suite does, one module per subject: measuring (run, ab,
test), results (compare, report, history, import, list) and fleet (the fleet
subcommands). The parser in cli.py names a handler for each command; a handler
takes the parsed arguments and the command's own argv and returns the exit
status, or raises request.Refusal, which the command line prints as one line.
"""
