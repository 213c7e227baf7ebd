# Compiler policy, set once: every target links brixmoor_policy.
option(BRIXMOOR_WERROR "Treat warnings as errors" OFF)
option(BRIXMOOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

add_library(brixmoor_policy INTERFACE)
target_compile_features(brixmoor_policy INTERFACE cxx_std_20)
target_compile_options(brixmoor_policy INTERFACE -Wall -Wextra -Wpedantic)
if(BRIXMOOR_WERROR)
  target_compile_options(brixmoor_policy INTERFACE -Werror)
endif()
if(BRIXMOOR_SANITIZE)
  target_compile_options(brixmoor_policy INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(brixmoor_policy INTERFACE -fsanitize=address,undefined)
endif()
target_include_directories(brixmoor_policy INTERFACE ${CMAKE_SOURCE_DIR})
