"""Sweeps across a cluster: one sweep per node, as the tasks of one Slurm job array.

A fleet is a folder (results/fleet-<date-time>/ by default) on a filesystem
the nodes share with the machine it is submitted from:

    manifest.json     what was submitted: job id, tasks, options, build, time limit
    job.sh            the batch script every task runs
    build/            the programs, built once at submit time (unless per node)
    builds/<t>-<node> a task's own build, with --build-per-node
    logs/<t>.log      a task's Slurm log (its standard output and error)
    logs/<t>.state    what the task recorded itself: start, signals, end
    <t>-<node>/       task t's results folder, as `suite run` writes it

Slurm does the scheduling: every task holds its node exclusively (--exclusive,
all its CPUs and memory) and runs `suite fleet task`, which runs the sweep
with the fleet's run options. Nothing is shared between the tasks but the
programs they read, and no task writes a database: `collect` imports the
finished folders into the results store afterwards, on the machine it runs on.

How a task's state is known (`task_status`): while Slurm still knows the task,
its JobState from `scontrol show job` decides. Without accounting storage
Slurm forgets a job MinJobAge seconds after it ended, so after that the task's
own files decide: Slurm's "*** JOB ... CANCELLED AT ... DUE TO TIME LIMIT ***"
line in the log means timed out, the same line without a cause means
cancelled (with another cause, failed); otherwise the exit status in the
state file: 0 done, anything else failed. A task that left no trace was
cancelled while pending when Slurm still knows the rest of its array (such a
task is dropped without a record), and failed to start as far as anyone can
tell once Slurm has forgotten the whole job.

The package: folder.py (the fleet folder and its manifest), submit.py (the
time limit, the batch script, the submission) and tasks.py (what became of
each task, and collecting the results); their public names are importable
from the package itself.
"""

from .folder import (BUILD, BUILDS, JOB_SCRIPT, LOGS, MANIFEST, MANIFEST_FORMAT, Fleet, FleetError,
                     Task, latest)
from .submit import (BUILD_MINUTES, MIN_MINUTES, SAFETY, TIME_RULE, Request,
                     estimate_seconds, format_minutes, job_script, manifest_for, parse_time_limit,
                     submit, time_limit_minutes)
from .tasks import (CANCELLED, DONE, FAILED, LOG_TAIL, LOG_TELLING, PENDING, RUNNING, TIMED_OUT,
                    UNFINISHED, UNKNOWN, Collected, TaskStatus, Trace, collect, log_tail,
                    read_trace, render_collected, render_status, results_folders, slurm_ending,
                    state_counts, statuses, task_status, wait_until_finished)
