"""One line per case, and a closing count: how every harness in Python (the
end-to-end, package and vm tests) reports what it checked."""

import os
import sys

SKIP_EXIT_CODE = 77  # the tests' CMakeLists.txt files tell CTest this means "skipped"


class Report:
    def __init__(self, title):
        self.title = title
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        print(f"== {title}", flush=True)

    def case(self, name, problems, evidence=()):
        """Records one case: `problems` lists what went wrong (empty: it passed);
        `evidence` is printed after a failure to show what was seen."""
        if problems:
            self.failed += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"     - {problem}")
            for line in evidence:
                print(f"     | {line}")
        else:
            self.passed += 1
            print(f"ok   {name}")
        sys.stdout.flush()

    def skip(self, name, reason):
        self.skipped += 1
        print(f"skip {name}: {reason}", flush=True)

    def finish(self):
        line = f"{self.title}: {self.passed} passed, {self.failed} failed"
        if self.skipped:
            line += f", {self.skipped} skipped"
        print(line, flush=True)
        if self.failed:
            return 1
        # Anything left unchecked shows as a skipped test, not as a pass.
        return SKIP_EXIT_CODE if self.skipped else 0


def compare(what, seen, expected):
    """A problem line when seen differs from expected, else nothing."""
    return [] if seen == expected else [f"{what}: saw {seen!r}, expected {expected!r}"]


def unless(ok, problem):
    """The problem, unless ok holds."""
    return [] if ok else [problem]


def expected_usage_text():
    """The usage notice as the tests expect it, CR LF line ends and all."""
    with open(os.path.join(os.path.dirname(__file__), "..", "support", "usage.txt"), "rb") as f:
        return f.read()
