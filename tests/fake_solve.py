# A stand-in for `quillon-native solve` in the batch tests: brute force on tiny
# formulas, plus faults asked for by `c act` lines of the instance.  Each run
# appends "NAME PID" to runs.log beside the instance.
import itertools, os, signal, sys, time  # noqa: E401

args = sys.argv[1:]
path = args[-1]
text = open(path).read()
with open(os.path.join(os.path.dirname(path), "runs.log"), "a") as log:
    log.write(f"{os.path.basename(path)} {os.getpid()}\n")
for act, *arg in (line.split()[2:] for line in text.splitlines() if line.startswith("c act ")):
    if act == "sleep" or act == "slow" and arg[0] in args:
        time.sleep(float(arg[-1]) if act == "sleep" else 60)
    elif act == "abort":
        os.abort()
    elif act == "hog":
        hog = bytearray(1 << 30)
    elif act == "exit":
        sys.exit(" ".join(arg[1:]) if arg[0] == "1" else int(arg[0]))
    elif act == "killworker":
        os.kill(os.getppid(), signal.SIGKILL)
        time.sleep(60)
clauses = [[int(t) for t in line.split()[:-1]] for line in text.splitlines() if line and line[0] not in "cp"]
n = max(abs(lit) for c in clauses for lit in c)
for bits in itertools.product([-1, 1], repeat=n):
    if "c act lie" in text or all(any(bits[abs(lit) - 1] * lit > 0 for lit in c) for c in clauses):
        print("s SATISFIABLE\nv " + " ".join(str(b * (i + 1)) for i, b in enumerate(bits)) + " 0")
        sys.exit(10)
print("s UNSATISFIABLE")
sys.exit(20)
