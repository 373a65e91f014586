#!/bin/busybox sh
# The guest's init. In the initramfs (busybox): load the drivers, lay a tmpfs
# over the host's root (shared read-only over virtio-9p) and start again in
# there. In there, with the host's own tools: run each line the host sends on
# the second serial port and answer with its output and exit status, until
# QEMU is stopped.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

if [ "$1" != serve ]; then
    /bin/busybox --install -s /bin
    mount -t devtmpfs dev /dev
    mount -t proc proc /proc
    mount -t sysfs sys /sys
    while read -r module parameters; do insmod "/modules/$module.ko" $parameters; done </modules/order
    mkdir /host /rw /newroot
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /host
    mount -t tmpfs rw /rw
    mkdir /rw/upper /rw/work
    mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work root /newroot
    cp /init /newroot/dorvanel-guest-init
    for fs in dev proc sys; do mount --move "/$fs" "/newroot/$fs"; done
    exec switch_root /newroot /bin/sh /dorvanel-guest-init serve
fi

mount -t tmpfs shm /dev/shm 2>/dev/null || { mkdir /dev/shm && mount -t tmpfs shm /dev/shm; }
mount -t tmpfs run /run
# The steps' own /tmp: the host's may hold their names already. The host's
# stays at /run/host-tmp, for the harness to bind back what it hands over.
mkdir /run/host-tmp && mount --bind /tmp /run/host-tmp && mount -t tmpfs tmp /tmp
ln -s sr0 /dev/cdrom   # as udev would: the first optical drive
stty -F /dev/ttyS1 raw -echo
exec </dev/ttyS1 >/dev/ttyS1 2>&1
echo ready
while read -r line; do
    eval "$line"
    printf '\n@@done %d\n' $?
done
