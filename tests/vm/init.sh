#!/bin/sh
# /init of the virtual machine that runs the native engine's tests
# (run_native_vm.sh builds the image around it). Everything it prints goes to
# the serial console; the lines starting "NUV-VM:" are what the host reads.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin HOME=/tmp TMPDIR=/tmp NUV_REQUIRE_NATIVE=1
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
# /tmp stays on the machine's own root, in memory already: a build tree
# under /tmp is in the image there, and a file system mounted on it would
# hide it.
mkdir -p /tmp
chmod 1777 /tmp
# The loopback interface, for the debugger's tests (gdb talks to 127.0.0.1).
ip link set lo up
cd /

filter=$(cat /nuv-vm/filter)
limit=$(cat /nuv-vm/timeout)
echo "NUV-VM: begin on $(nproc) processors, Linux $(uname -r)"
status=0
while read -r program; do
    echo "NUV-VM: program $program"
    # No terminal: the tests' standard input is /dev/null, as under CTest.
    timeout -s KILL "$limit" "$program" --gtest_color=no --gtest_filter="$filter" \
        </dev/null 2>&1
    s=$?
    echo "NUV-VM: program $program status $s"
    [ "$s" -eq 0 ] || status=1
done </nuv-vm/programs
echo "NUV-VM: end status $status"
poweroff -f
