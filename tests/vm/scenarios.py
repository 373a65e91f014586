"""What the vm tests check, as a user would by hand: each boot's drives and,
in order, what is typed in the guest and what the trays must do then.

A step's command runs in the guest's shell as root; it must exit 0. After it:
  moves    every tray movement QEMU reported during the step, in order
           ("ide1 open", "ide1 closed"); no other drive may move
  gap      (low, high): seconds between the first two movements
  locked   the drives whose door QEMU reports locked afterwards (None: not looked at)
  mounted  the CD devices the guest's mount table shows afterwards (None: not looked at)
  check    (command, text): run afterwards, the command must print that text
{program} and the like are filled in by vm_test.py.
"""

import dataclasses


@dataclasses.dataclass
class Drive:
    name: str        # QEMU's name for it, in QMP's events and query-block
    bus: str
    qemu: list       # QEMU arguments that attach -drive `name`
    sysfs: str       # part of the guest's sysfs path of the device
    disc: bool = False


@dataclasses.dataclass
class Step:
    what: str
    command: str
    moves: list
    gap: tuple = None
    locked: list = None
    mounted: list = None
    check: tuple = None


@dataclasses.dataclass
class Boot:
    title: str
    drives: list     # the guest names them sr0, sr1, ... in this order
    setup: list      # commands run first, not checks
    steps: list
    memory: int = 512
    wine: bool = False


# Drivers for every bus below, the host's root over virtio-9p with a tmpfs on
# top, and ISO 9660; those they depend on are found and loaded first.
MODULES = ["sr_mod", "ata_piix", "ahci", "virtio_scsi", "virtio_pci", "9p", "9pnet_virtio", "overlay", "isofs",
           "xhci_pci", "usb_storage"]
MODULE_PARAMETERS = {"usb_storage": "delay_use=0"}


def ide(name, channel, disc=False):
    return Drive(name, f"IDE, channel {channel}", ["-device", f"ide-cd,bus=ide.{channel},drive={name}"],
                 f"/0000:00:01.1/ata{channel + 1}/", disc)


SATA = Drive("sata", "AHCI", ["-device", "ich9-ahci,id=ahci,addr=0x4", "-device", "ide-cd,bus=ahci.0,drive=sata"],
             "/0000:00:04.0/")
VIRTIO_SCSI = Drive("vscsi", "virtio-scsi", ["-device", "virtio-scsi-pci,id=vscsi,addr=0x5",
                                             "-device", "scsi-cd,bus=vscsi.0,drive=vscsi"], "/0000:00:05.0/")
USB = Drive("usb", "USB mass storage", ["-device", "qemu-xhci,id=xhci,addr=0x6", "-device", "usb-bot,id=bot",
                                        "-device", "scsi-cd,bus=bot.0,drive=usb"], "/0000:00:06.0/")

as_user = "setpriv --reuid=1000 --regid=1000 --clear-groups"
refusing_driver = "LD_PRELOAD=/usr/local/lib/enotty_preload.so"
# What is mounted on /mnt/disc, bottom first, and the file on top.
mount_stack = "awk '$5 == \"/mnt/disc\" {{print $(NF - 1), $(NF - 2)}}' /proc/self/mountinfo && cat /mnt/disc/note"

NATIVE = Boot(
    "the Linux program on five drives, one with a disc",
    [ide("ide0", 0), ide("ide1", 1, disc=True), SATA, VIRTIO_SCSI, USB],
    ["install -m 755 {program} /usr/local/bin/dorvanel", "install -m 644 {preload} /usr/local/lib/enotty_preload.so", "mkdir /mnt/disc"],
    [
        Step("no argument opens the default drive", "dorvanel", ["ide0 open"]),
        Step("/Close closes it", "dorvanel /Close", ["ide0 closed"]),
        Step("/OpenClose=2 opens, then closes 2 s later", "dorvanel /OpenClose=2", ["ide0 open", "ide0 closed"],
             gap=(1.5, 3.0)),
        Step("/D: moves the first drive only", "dorvanel /D: /Open && dorvanel /D: /Close",
             ["ide0 open", "ide0 closed"]),
        Step("/E: moves the second drive only", "dorvanel /E: /Open && dorvanel /E: /Close",
             ["ide1 open", "ide1 closed"]),
        Step("/Z: moves nothing, and the program exits 0", "dorvanel /Z: /Open", []),
        Step("another program locks the door", "eject -i on /dev/sr0", [], locked=["ide0"]),
        Step("the locked door opens all the same", "dorvanel /D: /Open && dorvanel /D: /Close",
             ["ide0 open", "ide0 closed"], locked=[]),
        Step("a driver refusing the tray request: the SCSI command moves it",
             f"{refusing_driver} dorvanel /D: /Open && {refusing_driver} dorvanel /D: /Close",
             ["ide0 open", "ide0 closed"]),
        Step("AHCI: the tray opens and closes", "dorvanel /F: /Open && dorvanel /F: /Close",
             ["sata open", "sata closed"]),
        Step("virtio-scsi: the tray opens and closes", "dorvanel /G: /Open && dorvanel /G: /Close",
             ["vscsi open", "vscsi closed"]),
        Step("USB: the tray opens and closes", "dorvanel /H: /Open && dorvanel /H: /Close",
             ["usb open", "usb closed"]),
        Step("a disc is mounted", "mount -r /dev/sr1 /mnt/disc", [], mounted=["/dev/sr1"]),
        Step("opening unmounts it, then the tray opens", "dorvanel /E: /Open", ["ide1 open"], mounted=[]),
        Step("closing mounts nothing", "dorvanel /E: /Close", ["ide1 closed"], mounted=[]),
        Step("a disc in use, as the working directory, stays in and mounted",
             "mount -r /dev/sr1 /mnt/disc && (cd /mnt/disc && dorvanel /E: /Open)", [], mounted=["/dev/sr1"]),
        Step("a user who may not unmount it: nothing moves, the disc stays mounted",
             f"chmod o+r /dev/sr1 && {as_user} dorvanel /E: /Open", [], mounted=["/dev/sr1"]),
        Step("another filesystem over the disc's mount point: nothing is unmounted, the tray stays shut",
             "mount -t tmpfs cover /mnt/disc && echo the cover\\'s file >/mnt/disc/note && dorvanel /E: /Open",
             [], mounted=["/dev/sr1"], check=(mount_stack, "/dev/sr1 iso9660\ncover tmpfs\nthe cover's file")),
        Step("once the cover is taken off, the disc is unmounted and comes out",
             "umount /mnt/disc && dorvanel /E: /Open", ["ide1 open"], mounted=[]),
    ],
)

WINE = Boot(
    "dorvanel.exe under Wine, through Wine's own CD driver",
    [ide("ide0", 0)],
    ["wineserver -p"],  # in the prefix made on the host, whose D: is /dev/sr0

    [
        Step("no argument opens the tray", "wine {exe}", ["ide0 open"]),
        Step("/Close closes it", "wine {exe} /Close", ["ide0 closed"]),
        Step("/OpenClose=2 opens, then closes 2 s later", "wine {exe} /OpenClose=2", ["ide0 open", "ide0 closed"],
             gap=(1.5, 3.0)),
    ],
    memory=1024,
    wine=True,
)

BOOTS = {"native": NATIVE, "wine": WINE}
