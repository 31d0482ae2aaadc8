/* LD_PRELOAD shim for the snmpd of Debian 12 (net-snmp 5.9.3): since a kernel
 * change, sendmsg() with IP_PKTINFO whose source is a subnet broadcast address
 * fails with ENETUNREACH instead of EINVAL, so snmpd never falls back to
 * sending from the receiving interface and never answers requests sent to a
 * subnet broadcast address. Mapping that error back to EINVAL lets its
 * fallback run (net-snmp 5.9.4 does the same itself). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
    static ssize_t (*real)(int, const struct msghdr *, int);
    if (!real)
        real = (ssize_t (*)(int, const struct msghdr *, int))dlsym(RTLD_NEXT, "sendmsg");
    ssize_t rc = real(fd, msg, flags);
    if (rc < 0 && errno == ENETUNREACH && msg && msg->msg_controllen)
        errno = EINVAL;
    return rc;
}
