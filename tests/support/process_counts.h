// What this process holds: open descriptors and threads, for tests that nothing leaks.
#pragma once

#include <dirent.h>

namespace panelora::test {

inline int entriesIn(const char* path) {
    int n = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        closedir(dir);
    }
    return n;
}

// Less one: the descriptor of the directory being read.
inline int openDescriptorCount() {
    return entriesIn("/proc/self/fd") - 1;
}

inline int threadCount() {
    return entriesIn("/proc/self/task");
}

}  // namespace panelora::test
