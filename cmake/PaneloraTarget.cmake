# Common settings for every target of our own: warnings (errors with PANELORA_WERROR), and the
# sanitizers when asked for.
set(PANELORA_WARNINGS -Wall -Wextra)
if(PANELORA_WERROR)
  list(APPEND PANELORA_WARNINGS -Werror)
endif()

if(PANELORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PANELORA_TSAN)
  # GCC warns that TSan does not model asio's standalone fences; asio's queues hand work over under
  # mutexes, which it does model.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer
                      $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  add_link_options(-fsanitize=thread)
endif()

function(panelora_target target)
  target_compile_options(${target} PRIVATE ${PANELORA_WARNINGS})
endfunction()

# panelora_test(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [TOOLS target...])
# One GoogleTest executable registered with CTest, linked with the shared test support; TOOLS are
# the programs it starts, built before it.
function(panelora_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;TOOLS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  panelora_target(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} panelora_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main Threads::Threads)
  if(T_TOOLS)
    add_dependencies(${name} ${T_TOOLS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
