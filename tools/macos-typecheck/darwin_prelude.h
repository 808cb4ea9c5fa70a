// Included first into every source of the macOS type-check (scripts/macos-typecheck.sh), which
// runs on Linux over the host's C library: what Darwin's C library has and glibc lacks or spells
// differently, declared as the macOS SDK header named beside each declares it. (The Linux-only
// names the same sources must not use are looked for by the script itself: glibc and the
// third-party headers use them on Linux.)
#pragma once

#include <time.h>

// <pthread.h>: Darwin names only the calling thread. glibc's two-argument form is put out of
// the way before its header is read (its include guard then keeps it out).
#define pthread_setname_np panelora_glibc_pthread_setname_np
#include <pthread.h>
#undef pthread_setname_np
extern "C" int pthread_setname_np(const char* name);

// <sys/un.h>: Darwin's address starts with its own length; sa_family_t is 8 bits there. glibc's
// header is kept out by its include guard.
#define _SYS_UN_H 1
struct sockaddr_un {
    unsigned char sun_len;
    unsigned char sun_family;  // sa_family_t
    char sun_path[104];
};

// <sys/socket.h>
#define SO_NOSIGPIPE 0x1022

// <sys/fcntl.h>
#define F_SETNOSIGPIPE 73

// <time.h>: _CLOCK_UPTIME_RAW of the clockid_t enumeration.
#define CLOCK_UPTIME_RAW ((clockid_t)8)
