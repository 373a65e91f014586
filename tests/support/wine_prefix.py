"""A throw-away 32-bit Wine prefix in a folder of its own, for the end-to-end
tests and the benchmarks alike.

Everything Wine writes stays under that folder: the prefix, and a home of its
own for whatever Wine would put in the user's. The prefix reaches no drive of
the host: it keeps C: and the Unix root as Z: (both fixed disks) and nothing
else, and Wine cannot ask the system's disk service for more, so a door
command sent inside it never reaches a real CD drive.
"""

import os
import shutil
import subprocess
import tempfile

KEPT_DRIVES = {"c:", "z:"}


def environment(root):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("WINE", "LC_", "XDG_")) and k not in ("LANG", "LANGUAGE", "DISPLAY", "WAYLAND_DISPLAY")}
    home = os.path.join(root, "home")
    env.update(
        WINEARCH="win32",
        WINEPREFIX=os.path.join(root, "prefix"),
        HOME=home,
        XDG_CONFIG_HOME=os.path.join(home, ".config"),
        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
        XDG_CACHE_HOME=os.path.join(home, ".cache"),
        LC_ALL="C",
        WINEDEBUG="-all",
        # No Mono or Gecko installers, no menu entries.
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        # Wine's mount manager learns of CD drives from udisks over the system
        # bus; without a bus it adds none.
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent",
    )
    return env


def host_drives(env):
    """The prefix's drive letters and device links beyond C: and Z:."""
    folder = os.path.join(env["WINEPREFIX"], "dosdevices")
    return sorted(name for name in os.listdir(folder) if name.lower() not in KEPT_DRIVES)


def stop_server(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)


def create(root, registry=()):
    """Makes the prefix under root, adds each (key, name, text) registry value,
    and takes away every drive that could lead to the host's devices."""
    env = environment(root)
    os.makedirs(env["HOME"], exist_ok=True)
    subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for key, name, text in registry:
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f"],
                       env=env, check=True, timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=120)  # the registry is saved when it exits
    for name in host_drives(env):
        os.remove(os.path.join(env["WINEPREFIX"], "dosdevices", name))
    if host_drives(env):
        raise RuntimeError(f"the prefix still reaches host drives: {host_drives(env)}")
    return env


class Temporary:
    """A prefix in a new temporary folder, with a wineserver kept running
    while it is used so that no run pays for starting one."""

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="dorvanel-wine-")
        self.env = create(self.folder)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        return self

    def __exit__(self, *_):
        stop_server(self.env)
        shutil.rmtree(self.folder, ignore_errors=True)
