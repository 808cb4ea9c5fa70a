// What a process (this one by default) holds: open descriptors and threads, for tests that
// nothing leaks.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <string>

namespace panelora::test {

inline int entriesIn(const std::string& path) {
    int n = 0;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        closedir(dir);
    }
    return n;
}

inline std::string procFolder(pid_t pid) {
    return pid ? "/proc/" + std::to_string(pid) : "/proc/self";
}

// Our own count is less one: the descriptor of the directory being read.
inline int openDescriptorCount(pid_t pid = 0) {
    return entriesIn(procFolder(pid) + "/fd") - (pid ? 0 : 1);
}

inline int threadCount(pid_t pid = 0) {
    return entriesIn(procFolder(pid) + "/task");
}

}  // namespace panelora::test
