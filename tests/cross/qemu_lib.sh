# How a build's programs run on this machine, for the cross-build scripts:
#   cross_runner PROGRAM   the words that run it: nothing for x86 programs
#                          (run natively), qemu-user with the target's
#                          libraries for arm64 and armhf ones
#   cross_environment BUILD_DIR
#                          QEMU_SET_ENV for such a run: the build's resource
#                          shim refuses thread creation in the emulated
#                          program (qemu-user cannot run a second thread)
cross_runner() {
  case $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') in
    AArch64) echo "qemu-aarch64 -L /usr/aarch64-linux-gnu" ;;
    ARM) echo "qemu-arm -L /usr/arm-linux-gnueabihf" ;;
    *) echo "" ;;
  esac
}

cross_environment() {
  echo "LD_PRELOAD=$1/lab/resource_shim.so,ORVELA_SHIM_NO_THREADS=1"
}
