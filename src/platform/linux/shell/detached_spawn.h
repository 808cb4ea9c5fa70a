// Starting desktop programs (the settings shortcuts) without waiting for them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace panelora {

// The absolute path execvp would run for `program` along `searchPath` (a PATH value; empty
// entries mean the working folder). A name with a slash is returned as it is when executable.
// Nothing when no executable regular file is found.
std::optional<std::string> findOnPath(std::string_view program, std::string_view searchPath);
// The same along the process's $PATH (the default search path when unset).
std::optional<std::string> findOnPath(std::string_view program);

// Starts argv[0] (searched on $PATH) with argv in a session of its own, standard input, output
// and error on /dev/null, default signal handling and no blocked signals whatever this process
// has set up, and returns at once; a thread of its own reaps it when it ends. False when it
// could not be started.
bool spawnDetached(const std::vector<std::string>& argv);

}  // namespace panelora
