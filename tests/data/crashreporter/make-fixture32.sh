#!/bin/sh
# Rebuilds the 32-bit call-frame fixture and the reference dumps it is checked against.
# Needs a 32-bit capable gcc (gcc-multilib) and binutils.
set -eu
cd "$(dirname "$0")"
gcc -m32 -O2 -fPIC -fasynchronous-unwind-tables -c qvfixture32.c -o /tmp/qvfixture32.o
ld -m elf_i386 -shared --eh-frame-hdr /tmp/qvfixture32.o -o libqvfixture32.so
readelf --debug-dump=frames libqvfixture32.so > libqvfixture32.frames.txt
readelf --debug-dump=frames-interp libqvfixture32.so > libqvfixture32.frames-interp.txt
rm -f /tmp/qvfixture32.o
