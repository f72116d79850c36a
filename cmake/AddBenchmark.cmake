# add_benchmark(<algorithm> [PARALLEL])
#
# Declares the program bench_<algorithm> from bench/<algorithm>.cpp. PARALLEL
# builds it in the libstdc++ parallel mode with OpenMP; otherwise it links no
# OpenMP runtime at all.
function(add_benchmark algorithm)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "PARALLEL" "" "")
  set(target bench_${algorithm})
  add_executable(${target} ${PROJECT_SOURCE_DIR}/bench/${algorithm}.cpp)
  target_link_libraries(${target} PRIVATE algobench_support)
  if(ARG_PARALLEL)
    target_compile_definitions(${target} PRIVATE _GLIBCXX_PARALLEL)
    target_link_libraries(${target} PRIVATE OpenMP::OpenMP_CXX)
    set_property(GLOBAL APPEND PROPERTY ALGOBENCH_PARALLEL_PROGRAMS ${target})
  endif()
  set_property(GLOBAL APPEND PROPERTY ALGOBENCH_PROGRAMS ${target})
endfunction()
