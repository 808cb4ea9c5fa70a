// What every test starts from: GoogleTest, the everyday standard headers and the small shared
// helpers (waiting, files, hex bytes, sockets, log capture, environment). Included before any
// X11 header, whose macros break GoogleTest's templates.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "collected.h"
#include "eventually.h"
#include "files.h"
#include "hex.h"
#include "log_capture.h"
#include "scoped_environment.h"
#include "sockets.h"

using namespace std::chrono_literals;
