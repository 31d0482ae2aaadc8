/* A preload for a frontend that makes the machine look short of resources:
 * statfs reports ORVELA_SHIM_DISK_MB mebibytes available and sysinfo
 * ORVELA_SHIM_RAM_MB mebibytes of free RAM and free swap, and with
 * ORVELA_SHIM_NO_THREADS set no thread can start (pthread_create fails with
 * EAGAIN), each only while its variable is set; everything else comes from
 * the real calls. It lets a test see how a scan is refused before the device
 * is contacted, on a machine that has plenty of both, and run the backend
 * where a second thread would hang the program (under qemu-user).
 *
 *   LD_PRELOAD=resource_shim.so ORVELA_SHIM_DISK_MB=1 scanimage ... */
#define _GNU_SOURCE
/* Both statfs and statfs64 are defined here: neither may be renamed to the
 * other, as the build's 64-bit file offsets would do on 32-bit systems. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>

static int shim_mebibytes(const char* name, unsigned long long* out) {
    const char* v = getenv(name);
    if (v == NULL || *v == '\0') return 0;
    *out = strtoull(v, NULL, 10);
    return 1;
}

static void shrink_fs(struct statfs* fs) {
    unsigned long long mb;
    if (!shim_mebibytes("ORVELA_SHIM_DISK_MB", &mb) || fs->f_bsize <= 0) return;
    const unsigned long long blocks = (mb << 20) / (unsigned long long)fs->f_bsize;
    if (blocks < fs->f_bavail) fs->f_bavail = blocks;
    if (blocks < fs->f_bfree) fs->f_bfree = blocks;
}

int statfs(const char* path, struct statfs* fs) {
    static int (*real)(const char*, struct statfs*);
    if (real == NULL) real = (int (*)(const char*, struct statfs*))dlsym(RTLD_NEXT, "statfs");
    const int rc = real(path, fs);
    if (rc == 0) shrink_fs(fs);
    return rc;
}

int statfs64(const char* path, struct statfs64* fs) {
    static int (*real)(const char*, struct statfs64*);
    if (real == NULL) real = (int (*)(const char*, struct statfs64*))dlsym(RTLD_NEXT, "statfs64");
    const int rc = real(path, fs);
    unsigned long long mb;
    if (rc == 0 && shim_mebibytes("ORVELA_SHIM_DISK_MB", &mb) && fs->f_bsize > 0) {
        const unsigned long long blocks = (mb << 20) / (unsigned long long)fs->f_bsize;
        if (blocks < fs->f_bavail) fs->f_bavail = blocks;
        if (blocks < fs->f_bfree) fs->f_bfree = blocks;
    }
    return rc;
}

int sysinfo(struct sysinfo* info) {
    static int (*real)(struct sysinfo*);
    if (real == NULL) real = (int (*)(struct sysinfo*))dlsym(RTLD_NEXT, "sysinfo");
    const int rc = real(info);
    unsigned long long mb;
    if (rc == 0 && shim_mebibytes("ORVELA_SHIM_RAM_MB", &mb) && info->mem_unit > 0) {
        const unsigned long long units = (mb << 20) / info->mem_unit;
        if (units < info->freeram) info->freeram = (unsigned long)units;
        if (units < info->freeswap) info->freeswap = (unsigned long)units;
    }
    return rc;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    const char* v = getenv("ORVELA_SHIM_NO_THREADS");
    if (v != NULL && *v != '\0') return EAGAIN;
    if (real == NULL)
        real = (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attr, start, arg);
}
