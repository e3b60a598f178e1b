# Build helpers shared by every folder: one static library per subsystem folder,
# one test executable per *_test.cpp, one fuzz target per *_fuzz.cpp.

add_library(tm_options INTERFACE)
target_compile_options(tm_options INTERFACE -Wall -Wextra)
# g++ 12 reports std::string copies as overlapping, and std::variant<..., std::string> resets as
# freeing a non-heap object, at -O2 and above (false positives).
target_compile_options(tm_options INTERFACE
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict -Wno-free-nonheap-object>)
if(TOVENMARSH_WERROR)
  target_compile_options(tm_options INTERFACE -Werror)
endif()
find_package(Threads REQUIRED)
target_link_libraries(tm_options INTERFACE Threads::Threads)

# The libFuzzer tree puts coverage into every library, not only into the fuzz targets, so that
# the fuzzer is steered by the code under test; the sanitizer runtime supplies the coverage
# hooks to the programs that do not link libFuzzer (tests, tools).
if(TOVENMARSH_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TOVENMARSH_LIBFUZZER needs clang")
  endif()
  if(NOT TOVENMARSH_SANITIZE)
    set(TOVENMARSH_SANITIZE address,undefined)
  elseif(TOVENMARSH_SANITIZE MATCHES "thread")
    message(FATAL_ERROR "TOVENMARSH_LIBFUZZER runs under address,undefined, not thread")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(TOVENMARSH_SANITIZE)
  add_compile_options(-fsanitize=${TOVENMARSH_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TOVENMARSH_SANITIZE})
endif()

# The thread-sanitizer tree builds only what its *_threads_test.cpp files need.
set(TM_THREAD_ONLY OFF)
if(TOVENMARSH_SANITIZE STREQUAL "thread")
  set(TM_THREAD_ONLY ON)
endif()

# tm_library(<folder> DEPS <targets>): library tm_<folder> from every .cpp below the folder.
function(tm_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    add_library(tm_${name} STATIC ${srcs})
    target_include_directories(tm_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(tm_${name} PUBLIC tm_options ${ARG_DEPS})
    if(TM_THREAD_ONLY)
      set_target_properties(tm_${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    endif()
  else()
    add_library(tm_${name} INTERFACE)
    target_include_directories(tm_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(tm_${name} INTERFACE tm_options ${ARG_DEPS})
  endif()
endfunction()

# tm_tests(<folder> DEPS <targets>): an executable test_<folder>_<stem> per <stem>_test.cpp,
# its cases registered with CTest under the label <folder>.
function(tm_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  find_package(GTest REQUIRED)
  include(GoogleTest)
  if(TM_THREAD_ONLY)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_threads_test.cpp)
  else()
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  endif()
  # Shared test helpers are compiled once per folder into a library of their own.
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  set(support_lib "")
  if(support AND tests)
    set(support_lib test_support_${name})
    add_library(${support_lib} STATIC ${support})
    target_include_directories(${support_lib} PUBLIC ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${support_lib} PUBLIC
      TM_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TM_BINARY_DIR="${PROJECT_BINARY_DIR}")
    target_link_libraries(${support_lib} PUBLIC tm_options GTest::gtest GTest::gmock ${ARG_DEPS})
  endif()
  foreach(file ${tests})
    get_filename_component(stem ${file} NAME_WE)
    string(REGEX REPLACE "_test$" "" stem ${stem})
    set(target test_${name}_${stem})
    add_executable(${target} ${file})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE
      TM_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TM_BINARY_DIR="${PROJECT_BINARY_DIR}")
    target_link_libraries(${target} PRIVATE ${support_lib} tm_options GTest::gtest_main GTest::gmock ${ARG_DEPS})
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS ${name} TIMEOUT 600)
  endforeach()
endfunction()
