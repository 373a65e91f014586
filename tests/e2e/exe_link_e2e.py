#!/usr/bin/python3
"""dorvanel.exe has no C runtime: its link must refuse what would need one
rather than build an exe that silently skips it. Builds the probes of
tests/exe_link in the win32 build: the one with a static constructor must
link (wine_e2e.py runs it), each other must fail with the reason named.

    exe_link_e2e.py CMAKE WIN32_BUILD_DIR
"""

import os
import subprocess
import sys

import report

# probe target -> what the failed link says; None: it must link
PROBES = {
    "dorvanel_probe_constructor": None,
    "dorvanel_probe_destructor": "undefined reference to `atexit'",
    "dorvanel_probe_destructor_function": "has no C runtime for destructors",
    "dorvanel_probe_thread_local": "undefined reference to `__emutls_get_address'",
    "dorvanel_probe_tls_callback": "has no C runtime for destructors",
}


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    cmake, build_dir = argv[1:]
    results = report.Report("dorvanel.exe's link and the C runtime")
    if not os.path.isdir(build_dir):
        results.skip("every probe", f"no win32 build in {build_dir}")
        return results.finish()
    for target, refusal in PROBES.items():
        build = subprocess.run([cmake, "--build", build_dir, "--target", target],
                               capture_output=True, text=True, timeout=300)
        output = build.stdout + build.stderr
        if refusal is None:
            problems = report.compare("exit status of the build", build.returncode, 0)
            name = f"{target} links"
        else:
            problems = (report.unless(build.returncode != 0, "the link succeeded")
                        + report.unless(refusal in output, f"the output does not say {refusal!r}"))
            name = f"{target} fails to link: {refusal}"
        results.case(name, problems, output.splitlines()[-15:])
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
