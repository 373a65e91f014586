"""What the vm tests check, as a user would by hand: each boot's drives and,
in order, what is typed in the guest and what the trays must do then.

A step's command runs in the guest's shell as root; it must exit 0. After it:
  moves    every tray movement QEMU reported during the step, in order
           ("ide1 open", "ide1 closed"); no other drive may move
  gap      (low, high): seconds between the first two movements
  locked   the drives whose door QEMU reports locked afterwards (None: not looked at)
  mounted  the CD devices the guest's mount table shows afterwards (None: not looked at)
  took     (low, high): seconds the command may take
  check    (command, text): run afterwards, the command must print that text
A step with `kernels` is one of the boot's only on those kernels ("release", "newest").
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
    took: tuple = None
    kernels: tuple = None


@dataclasses.dataclass
class Boot:
    title: str
    drives: list     # the guest names them sr0, sr1, ... in this order
    setup: list      # commands run first, not checks
    steps: list
    memory: int = 512
    wine: bool = False


# Drivers for every bus below, the host's root over virtio-9p with a tmpfs on
# top, ISO 9660, loop devices, device-mapper and scsi_debug; those they depend
# on are found and loaded first.
MODULES = ["loop", "dm_mod", "sr_mod", "ata_piix", "ahci", "virtio_scsi", "virtio_pci", "9p", "9pnet_virtio", "overlay",
           "isofs", "xhci_pci", "usb_storage", "scsi_debug"]
# scsi_debug makes no drive until a step adds one: a CD drive (type 5) whose
# tray takes 20 s to move, as its delay of 20 jiffies for every other command
# counts seconds for START STOP UNIT; strict, it refuses a reserved bit set.
MODULE_PARAMETERS = {"usb_storage": "delay_use=0", "scsi_debug": "add_host=0 ptype=5 delay=20 strict=1"}


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
said = "2>/tmp/said"  # why the tray did not move, for a step's check
# Has sr1 to itself (O_EXCL) for a second, as a prober of a disc just loaded may.
hold_drive = ("python3 -c 'import os, time; os.open(\"/dev/sr1\", os.O_RDONLY | os.O_NONBLOCK | os.O_EXCL); "
              "open(\"/tmp/held\", \"w\").close(); time.sleep(1)'")
# Keeps a drive open, as a player does, with its door locked (CDROM_LOCKDOOR)
# or not; its pid in /tmp/reader.
keep_open = ("rm -f /tmp/reader && (python3 -c 'import fcntl, os, time; fd = os.open(\"/dev/{}\", os.O_RDONLY | os.O_NONBLOCK); "
             "{}open(\"/tmp/reader\", \"w\").write(str(os.getpid())); time.sleep(600)' &) && "
             "until [ -s /tmp/reader ]; do sleep 0.05; done")
lock_and_read = keep_open.format("sr1", "fcntl.ioctl(fd, 0x5329, 1); ")
# The scsi_debug drive as the kernel sees it: how many of its commands timed
# out, and what the error handler did about them, as it logs from the moment
# the drive is added (from 7.x, scsi_debug also logs an abort itself); and
# where its tray is, as the CD-ROM driver tells it (CDROM_DRIVE_STATUS).
timeouts = ("cat /sys/block/sr5/device/iotmo_cnt; "
            "dmesg | grep -i 'abort\\|reset' | grep -v scsi_debug: | sed 's/.*tag#[0-9]* //'")
slow_drive = ("cat /tmp/said; python3 -c 'import fcntl, os; print([\"no information\", \"no disc\", \"tray open\", "
              "\"not ready\", \"disc in\"][fcntl.ioctl(os.open(\"/dev/sr5\", os.O_RDONLY | os.O_NONBLOCK), 0x5326, "
              f"0x7FFFFFFF)])'; {timeouts}")
preload = "LD_PRELOAD=/usr/local/lib/vm_preload.so"
no_scsi_commands = f"DORVANEL_VM_NO_SG_IO=1 {preload}"
answers_as_cd = f"DORVANEL_VM_ANY_CD=1 {preload}"
locked_by_other = ("the tray is locked while another program is using the drive (on Debian, members of the group cdrom "
                   "can open it all the same)")
# What is mounted on /mnt/disc, bottom first, and the file on top.
mounted_at = "awk '$5 == \"{}\" {{{{print $(NF - 1), $(NF - 2)}}}}' /proc/self/mountinfo"
mount_stack = mounted_at.format("/mnt/disc") + " && cat /mnt/disc/note"
id_at = "awk '$5 == \"/mnt/disc\" {{print $1}}' /proc/self/mountinfo"
# Run by the program between its reading the mount table and its first look
# at a mount point: the disc comes off, and another filesystem takes its place.
reuse_mount_id = "umount /mnt/disc && mount -t tmpfs reuse /mnt/disc && echo the reusing file >/mnt/disc/note"
# The folder holding the mount point moved to the end of a path of 3,776
# bytes, then that path moved under another two names of 250 bytes: the mount
# point's path is 4,283 bytes long, longer than any one system call takes.
deep = "/".join(["x" * 250] * 15)
deep_folder = (f"mkdir -p /tmp/n1/{deep} /tmp/n2/{'x' * 250} && mv /tmp/top /tmp/n1/{deep}/ && "
               f"mv /tmp/n1 /tmp/n2/{'x' * 250}/{'x' * 250}")

NATIVE = Boot(
    "the Linux program on five drives, one with a disc",
    [ide("ide0", 0), ide("ide1", 1, disc=True), SATA, VIRTIO_SCSI, USB],
    ["install -m 755 {program} /usr/local/bin/dorvanel", "install -m 644 {preload} /usr/local/lib/vm_preload.so", "mkdir /mnt/disc",
     # umount(8) records a `user` mount by its user's name.
     "getent passwd 1000 >/dev/null || useradd -u 1000 -M dora"],
    [
        Step("no argument opens the default drive", "dorvanel", ["ide0 open"]),
        Step("/Close closes it", "dorvanel /Close", ["ide0 closed"]),
        Step("/OpenClose=2 opens, then closes 2 s later", "dorvanel /OpenClose=2", ["ide0 open", "ide0 closed"],
             gap=(1.5, 3.0)),
        Step("/D: moves the first drive only", "dorvanel /D: /Open && dorvanel /D: /Close",
             ["ide0 open", "ide0 closed"]),
        Step("/E: moves the second drive only, and says nothing", f"dorvanel /E: /Open {said} && dorvanel /E: /Close 2>>/tmp/said",
             ["ide1 open", "ide1 closed"], check=("cat /tmp/said", "")),
        Step("/Z: moves nothing, and the program says why and exits 0", f"dorvanel /Z: /Open {said}", [],
             check=("cat /tmp/said", "dorvanel: /dev/sr22: no such device")),
        Step("descriptors 0, 1 and 2 closed: the drive, opened as 0, opens and closes",
             "dorvanel /D: /Open <&- >&- 2>&- && dorvanel /D: /Close <&- >&- 2>&-", ["ide0 open", "ide0 closed"]),
        Step("a drive whose tray takes 20 s to move is added as sr5",
             "echo 1 >/sys/bus/pseudo/drivers/scsi_debug/add_host && until [ -b /dev/sr5 ]; do sleep 0.1; done && "
             "dmesg -C && echo 7 >/proc/sys/dev/scsi/logging_level", []),
        Step("its tray opens: the program waits for it, says nothing, and the kernel aborts nothing",
             f"dorvanel /I: /Open {said}", [], took=(19, 25), check=(slow_drive, "tray open\n0x0")),
        Step("its tray closes the same way", f"dorvanel /I: /Close {said}", [], took=(19, 25),
             check=(slow_drive, "disc in\n0x0")),
        # scsi_debug takes a new delay only while no command is in flight (the kernel's own media check, say).
        Step("the drive no longer answers within 60 s: the command is given up then, and the program says so",
             "until echo 90 2>/dev/null >/sys/bus/pseudo/drivers/scsi_debug/delay; do sleep 0.1; done && "
             f"dorvanel /I: /Open {said}", [], took=(60, 66),
             check=(f"cat /tmp/said; {timeouts}", "dorvanel: /dev/sr5: the drive did not answer\n0x1\n"
                    "abort scheduled\naborting command\nfinish aborted command")),
        Step("another program locks the door", "eject -i on /dev/sr0", [], locked=["ide0"]),
        Step("the locked door opens all the same", "dorvanel /D: /Open && dorvanel /D: /Close",
             ["ide0 open", "ide0 closed"], locked=[]),
        Step("a device that takes no SCSI commands: the driver's request moves it",
             f"{no_scsi_commands} dorvanel /D: /Open {said} && {no_scsi_commands} dorvanel /D: /Close 2>>/tmp/said",
             ["ide0 open", "ide0 closed"], check=("cat /tmp/said", "")),  # a request carried out is no refusal
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
             f"mount -r /dev/sr1 /mnt/disc && (cd /mnt/disc && dorvanel /E: /Open {said})", [], mounted=["/dev/sr1"],
             check=("cat /tmp/said", "dorvanel: /dev/sr1: the disc mounted at /mnt/disc is in use")),
        Step("a user who may not unmount it: nothing moves, the disc stays mounted",
             f"chmod o+r /dev/sr1 && {as_user} dorvanel /E: /Open {said}", [], mounted=["/dev/sr1"],
             check=("cat /tmp/said",
                    "dorvanel: /dev/sr1: the disc mounted at /mnt/disc is in use, or you are not allowed to unmount it")),
        Step("another filesystem over the disc's mount point: nothing is unmounted, the tray stays shut",
             "mount -t tmpfs cover /mnt/disc && echo the cover\\'s file >/mnt/disc/note && dorvanel /E: /Open",
             [], mounted=["/dev/sr1"], check=(mount_stack, "/dev/sr1 iso9660\ncover tmpfs\nthe cover's file")),
        Step("once the cover is taken off, the disc is unmounted and comes out",
             "umount /mnt/disc && dorvanel /E: /Open", ["ide1 open"], mounted=[]),
        Step("a link to another filesystem laid over the disc's mount point: nothing is unmounted, the tray stays shut",
             "dorvanel /E: /Close && mount -r /dev/sr1 /mnt/disc && mkdir /tmp/t && mount -t tmpfs target /tmp/t && "
             "echo the target\\'s file >/tmp/t/note && mount -t tmpfs cover /mnt && ln -s /tmp/t /mnt/disc && "
             "dorvanel /E: /Open", ["ide1 closed"], mounted=["/dev/sr1"],
             check=(mounted_at.format("/tmp/t") + " && cat /tmp/t/note", "target tmpfs\nthe target's file")),
        Step("the disc also at a second mount point, the first still unreachable: nothing comes off",
             "mkdir /tmp/b && mount -r /dev/sr1 /tmp/b && dorvanel /E: /Open", [], mounted=["/dev/sr1", "/dev/sr1"],
             check=(mounted_at.format("/tmp/b"), "/dev/sr1 iso9660")),
        # Mount ids are handed out lowest first: the disc's, freed, is the next one.
        Step("the disc's mount id taken by another filesystem after the table is read: that one stays, with its file",
             "umount /mnt /tmp/t /tmp/b && awk '$5 == \"/mnt/disc\" {{print $1}}' /proc/self/mountinfo >/tmp/disc-id && "
             f"DORVANEL_VM_BEFORE_LOOKUP='{reuse_mount_id}' {preload} dorvanel /E: /Open",
             ["ide1 open"], mounted=[],
             check=(f"[ $(cat /tmp/disc-id) = $({id_at}) ] && echo same id && cat /mnt/disc/note",
                    "same id\nthe reusing file")),
        # Standard input closed: the folder holding /tmp/s2/dir is reached on descriptor 0.
        Step("the disc moved onto a folder of its own second mount: both come off, the one on top first",
             "umount /mnt/disc && dorvanel /E: /Close && mkdir /tmp/s1 /tmp/s2 && mount -r /dev/sr1 /tmp/s1 && "
             "mount -r /dev/sr1 /tmp/s2 && mount --move /tmp/s1 /tmp/s2/dir && dorvanel /E: /Open <&-",
             ["ide1 closed", "ide1 open"], mounted=[]),
        Step("a mount point longer than PATH_MAX: it comes off, and the tray opens",
             f"dorvanel /E: /Close && mkdir -p /tmp/top/m && mount -r /dev/sr1 /tmp/top/m && {deep_folder} && "
             "dorvanel /E: /Open", ["ide1 closed", "ide1 open"], mounted=[]),
        Step("the disc mounted through a loop device set up by a node since removed: the tray stays shut, for root "
             "and for a user who cannot open the loop device",
             "dorvanel /E: /Close && mknod /tmp/node b 11 1 && losetup -r /dev/loop0 /tmp/node && rm /tmp/node && "
             f"mkdir /tmp/loop && mount -r /dev/loop0 /tmp/loop && dorvanel /E: /Open {said} && "
             f"{as_user} dorvanel /E: /Open 2>>/tmp/said", ["ide1 closed"], mounted=[],
             check=("cat /tmp/said /tmp/loop/README.TXT", "dorvanel: /dev/sr1: loop device loop0 reads this disc or a file "
                    "on it\ndorvanel: /dev/sr1: cannot tell whether loop device loop0 reads this disc\nA disc for dorvanel's vm tests.")),
        # An empty folder at /sys, as in a chroot that has none mounted.
        Step("without sysfs, what stands on the drive cannot be told: the tray stays shut",
             "umount /tmp/loop && losetup -d /dev/loop0 && "
             "unshare -m sh -c 'mount -t tmpfs empty /sys && dorvanel /E: /Open'", []),
        Step("a device-mapper target over the drive: the tray stays shut",
             "DM_DISABLE_UDEV=1 dmsetup create --readonly over-sr1 --table \"0 $(blockdev --getsz /dev/sr1) linear "
             f"/dev/sr1 0\" && dorvanel /E: /Open {said}", [],
             check=("cat /tmp/said", "dorvanel: /dev/sr1: device dm-0 is using the drive")),
        Step("/dev/cdrom leading to a loop device with a mounted image, or to a character device that answers as a "
             "CD drive: nothing unmounted, nothing moved",
             "mkdir /tmp/image && losetup -r /dev/loop1 {disc} && mount -r /dev/loop1 /tmp/image && "
             f"ln -sf loop1 /dev/cdrom && dorvanel /Open && ln -sf null /dev/cdrom && {answers_as_cd} dorvanel /Open {said} "
             "&& ln -sf sr0 /dev/cdrom", [], check=("cat /tmp/said /tmp/image/README.TXT",
                                                    "dorvanel: /dev/cdrom: not a CD drive\nA disc for dorvanel's vm tests.")),
        Step("a loop device on another block device does not keep this drive's tray shut",
             "DM_DISABLE_UDEV=1 dmsetup remove over-sr1 && losetup -r /dev/loop2 /dev/loop1 && dorvanel /E: /Open",
             ["ide1 open"]),
        # The second with no /proc, as in a chroot that has none mounted.
        Step("a read error in the mount table, or none to open: nothing is unmounted, the tray stays shut, and it says so",
             f"dorvanel /E: /Close && mount -r /dev/sr1 /mnt/disc && DORVANEL_VM_READ_ERROR=1 {preload} dorvanel /E: /Open "
             f"{said} && unshare -m sh -c 'mount -t tmpfs none /proc && dorvanel /E: /Open 2>>/tmp/said'",
             ["ide1 closed"], mounted=["/dev/sr1"],
             check=("cat /tmp/said", "\n".join(["dorvanel: /dev/sr1: cannot read the mount table"] * 2))),
        # loop1 (on the disc's image) and loop2 (on loop1) are bound, and the user may open neither; the second
        # backing file read fails.
        Step("a user's tray opens though loop devices the user may not open are bound; not where one cannot be read",
             f"umount /mnt/disc && {as_user} env DORVANEL_VM_READ_ERROR=1 {preload} dorvanel /E: /Open {said} && "
             f"{as_user} dorvanel /E: /Open", ["ide1 open"],
             check=("cat /tmp/said", "dorvanel: /dev/sr1: cannot tell whether loop device loop2 reads this disc")),
        Step("the user's own mount from /etc/fstab comes off, and the tray opens",
             "dorvanel /E: /Close && echo '/dev/sr1 /mnt/disc iso9660 ro,user,noauto 0 0' >>/etc/fstab && "
             f"{as_user} mount /mnt/disc && {as_user} dorvanel /E: /Open", ["ide1 closed", "ide1 open"], mounted=[]),
        Step("root's loop device on the drive itself keeps a user's tray shut",
             f"dorvanel /E: /Close && losetup -r /dev/loop3 /dev/sr1 && {as_user} dorvanel /E: /Open {said} && "
             "losetup -d /dev/loop3", ["ide1 closed"],
             check=("cat /tmp/said", "dorvanel: /dev/sr1: loop device loop3 reads this disc or a file on it")),
        Step("root in a mount namespace whose /dev holds only the drive: the tray opens",
             "losetup -d /dev/loop2 && "
             "unshare -m sh -c 'mount -t tmpfs dev /dev && mknod /dev/sr1 b 11 1 && dorvanel /E: /Open'", ["ide1 open"]),
        Step("a program holding the drive alone for a second is waited for",
             f"dorvanel /E: /Close && {hold_drive} & until [ -e /tmp/held ]; do sleep 0.05; done && sleep 0.2 && "
             "dorvanel /E: /Open && wait", ["ide1 closed", "ide1 open"]),
        Step("a program locks the door and keeps the drive open: a user who may only read the drive is told why",
             f"dorvanel /E: /Close && chmod o=r /dev/sr1 && {lock_and_read} && {as_user} dorvanel /E: /Open {said}",
             ["ide1 closed"], locked=["ide1"],
             check=("cat /tmp/said", f"dorvanel: /dev/sr1: {locked_by_other}")),
        Step("a user who may write to the drive opens the tray under it",
             f"chmod o+rw /dev/sr1 && {as_user} dorvanel /E: /Open && kill $(cat /tmp/reader)", ["ide1 open"]),
        Step("a program keeps the drive open without locking the door",
             f"dorvanel /E: /Close && chmod o=r /dev/sr1 && {keep_open.format('sr1', '')}", ["ide1 closed"], locked=[]),
        Step("a user who may only read the drive opens the tray under it, with no wait",
             f"{as_user} dorvanel /E: /Open && kill $(cat /tmp/reader)", ["ide1 open"], took=(0, 1.5)),
        Step("on a SCSI drive without a disc, a program locks the door and keeps the drive open",
             keep_open.format("sr3", "fcntl.ioctl(fd, 0x5329, 1); "), [], locked=["vscsi"]),
        Step("a user who may only read that drive is told the door is locked",
             f"chmod o=r /dev/sr3 && {as_user} dorvanel /G: /Open {said}; kill $(cat /tmp/reader)", [],
             check=("cat /tmp/said", f"dorvanel: /dev/sr3: {locked_by_other}")),
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
        Step("/D: opens and closes drive D: by its letter", "wine {exe} /D: /Open && wine {exe} /D: /Close",
             ["ide0 open", "ide0 closed"]),
        Step("/E:, a letter the prefix gives no drive, moves nothing", "wine {exe} /E: /Open", []),
    ],
    memory=1024,
    wine=True,
)

# The desktop boot's user, uid 1000 in group cdrom, whom polkit lets mount
# discs through udisks (desktop.rules).
as_desktop_user = "setpriv --reuid=dora --regid=dora --init-groups"
user_mounts = f"{as_desktop_user} udisksctl mount -b /dev/sr0 --no-user-interaction </dev/null"
# After a close the kernel finds the disc when it next polls the drive; udisks
# then reads its filesystem, which a user sees as the disc appearing.
disc_appears = ("timeout 15 sh -c 'until udisksctl info -b /dev/sr0 | grep -q \"IdUsage: *filesystem\"; "
                "do sleep 0.1; done'")

# Two mount points any user may mount the disc on, and unmount.
users_mount_points = "mkdir /mnt/a /mnt/b && printf '/dev/sr0 /mnt/%s iso9660 ro,users,noauto 0 0\\n' a b >>/etc/fstab"

DESKTOP = Boot(
    "the Linux program on a desktop: udev, udisks and a user's disc",
    [ide("ide0", 0, disc=True)],
    [
        "install -m 755 {program} /usr/local/bin/dorvanel",
        # In the guest's copy of /etc, the uid is dora's alone.
        "userdel -f $(id -nu 1000 2>/dev/null) 2>/dev/null; useradd -u 1000 -G cdrom -M dora",
        "install -m 644 {tests}/desktop.rules /etc/polkit-1/rules.d/50-dorvanel.rules",
        "mkdir /run/dbus && dbus-daemon --system --fork",
        # The block devices, and the block module, whose rule has the kernel
        # poll drives for discs; the rest would only cost time.
        "/lib/systemd/systemd-udevd --daemon && udevadm trigger --action=add --subsystem-match=module "
        "--subsystem-match=block && udevadm settle",
        "/usr/lib/polkit-1/polkitd --no-debug </dev/null >/dev/null 2>&1 & "
        "gdbus wait --system --timeout 30 org.freedesktop.PolicyKit1",
        "/usr/libexec/udisks2/udisksd </dev/null >/dev/null 2>&1 & gdbus wait --system --timeout 30 org.freedesktop.UDisks2",
    ],
    [
        Step("the user mounts the disc through udisks; the door is locked", user_mounts, [], locked=["ide0"],
             mounted=["/dev/sr0"]),
        Step("a mount in use: the user's tray stays shut, the disc mounted",
             f"(cd /media/dora/DORVANEL && {as_desktop_user} dorvanel)", [], mounted=["/dev/sr0"]),
        Step("the user's dorvanel has udisks unmount the disc, and the tray opens", f"{as_desktop_user} dorvanel",
             ["ide0 open"], locked=[], mounted=[]),
        # Just after a close, the program's own open reports the disc loaded,
        # and udev's cdrom_id opens the drive to lock the door.
        Step("the user closes the tray and opens it again a tenth of a second later, four times",
             f"for i in 1 2 3 4; do {as_desktop_user} dorvanel /Close && sleep 0.1 && {as_desktop_user} dorvanel; done",
             ["ide0 closed", "ide0 open"] * 4),
        Step("the user closes the tray and mounts the disc again",
             f"{as_desktop_user} dorvanel /Close && {disc_appears} && {user_mounts}",
             ["ide0 closed"], mounted=["/dev/sr0"]),
        Step("root unmounts the user's disc and opens the tray, as before", "dorvanel", ["ide0 open"], mounted=[]),
        # Last: udisks would mount the disc on the first of these.
        Step("the user's disc on two mount points of /etc/fstab, the second in use: umount(8) refuses it, the first stays",
             f"{users_mount_points} && {as_desktop_user} dorvanel /Close && {disc_appears} && {as_desktop_user} mount /mnt/a && "
             f"{as_desktop_user} mount /mnt/b && (cd /mnt/b && {as_desktop_user} dorvanel 2>/tmp/said)", ["ide0 closed"],
             mounted=["/dev/sr0", "/dev/sr0"], check=("cat /tmp/said", "dorvanel: /dev/cdrom: the disc mounted at /mnt/b "
                                                      "is in use, or you are not allowed to unmount it")),
        Step("umount(8) takes both off, and the tray opens", f"{as_desktop_user} dorvanel", ["ide0 open"], mounted=[]),
        Step("the user closes the tray: udev locks the door, and a program keeps reading the drive",
             f"{as_desktop_user} dorvanel /Close && {disc_appears} && (sleep 600 </dev/sr0 >/dev/null 2>&1 &)",
             ["ide0 closed"], locked=["ide0"]),
        Step("the user's tray opens under it", f"{as_desktop_user} dorvanel", ["ide0 open"]),
    ],
    memory=768,
)

BOOTS = {"native": NATIVE, "wine": WINE, "desktop": DESKTOP}
