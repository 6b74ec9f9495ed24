"""The fuzz's child supervision: hostile cases run in a child process that a crash or a hang cannot take down with
the run; the case that died is reported and the next one goes on."""
import json
import select
import subprocess
import sys
import tempfile


def supervise(script, start, count, case_seconds, stop_after=20):
    """Hostile cases in a child process (`script --work START COUNT`), started again after a crash or a hang,
    which count as failures.

    Returns (cases run, problems found)."""
    found, seed, end, ran = [], start, start + count, 0
    while seed < end and len(found) < stop_after:
        with tempfile.TemporaryFile("w+") as err:
            # A fresh child every 100 cases: what hostile cases leave behind slows the later ones down.
            command = [sys.executable, script, "--work", str(seed), str(min(100, end - seed))]
            child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, text=True)
            current, ended = None, False
            while not ended:
                ready = select.select([child.stdout], [], [], case_seconds)[0]
                line = child.stdout.readline() if ready else None
                if line and line.startswith("case "):
                    current, ran = int(line.split()[1]), ran + 1
                elif line and line.startswith("diverged "):
                    found.append(json.loads(line[9:]))
                elif line and line != "done\n":
                    continue  # what the case itself printed (an equality's trace, say)
                else:  # the end, a crash (EOF) or a hang (no line in time)
                    ended, hung = True, line is None
            if hung:
                child.kill()
            rc = child.wait()
            if line != "done\n" or rc != 0:
                err.seek(0)
                what = "hung for %d s" % case_seconds if hung else "died with exit status %d" % rc
                found.append("seed %s: the child %s; rerun with --hostile --seed %s --count 1\n%s" % (
                    current, what, current, err.read()[-12000:]))
            if current is None:
                break
            seed = current + 1
    return ran, found
