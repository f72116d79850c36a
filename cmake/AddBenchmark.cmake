# add_benchmark(<algorithm> [PARALLEL] [UNSEQ])
#
# Declares the program bench_<algorithm> from bench/<algorithm>.cpp and its
# backend variants, all compiled from that one file; the compile definition
# each gets picks the backend in include/algobench/backend.h:
#
#   bench_<algorithm>            PARALLEL: the libstdc++ parallel mode on
#                                OpenMP; otherwise the plain library, which
#                                links no OpenMP runtime at all
#   bench_<algorithm>_seq        PARALLEL only: the same call without the
#                                parallel mode and without OpenMP (for the
#                                others bench_<algorithm> already is that)
#   bench_<algorithm>_par        std::execution::par on oneTBB
#   bench_<algorithm>_par_unseq  UNSEQ only: std::execution::par_unseq on oneTBB
#
# The two policy variants are built only when ALGOBENCH_TBB_BACKEND is true
# (CMakeLists.txt checks that libstdc++ really runs par on oneTBB). Both are
# compiled with -fopenmp-simd, which makes the library's "#pragma omp simd"
# loops take effect without linking an OpenMP runtime, so that the policy is
# the only difference between them.
#
# UNSEQ marks the calls for which libstdc++ 12 (pstl/algorithm_impl.h,
# numeric_impl.h) takes another code path under par_unseq than under par:
#   count_if          counts each chunk with __simd_count instead of std::count_if
#   find_if           searches each chunk with __simd_first instead of std::find_if
#   unique_copy       marks the elements to keep with __simd_calc_mask_2
#   set_intersection  moves each chunk's result to the output with __simd_assign
#                     (the intersection itself is std::set_intersection in both)
#   stable_partition  joins partitioned chunks with the vectorised __brick_rotate
#                     instead of std::rotate (each chunk: std::stable_partition)
#   nth_element       swaps ranges in the parallel partition's merge step with
#                     __simd_assign instead of std::swap_ranges
# and not for the other two, where par_unseq would time exactly par's code:
#   partial_sum       inclusive_scan of doubles with std::plus: the vector scan
#                     brick needs user-defined simd scans (_PSTL_UDS_PRESENT),
#                     which GCC lacks, and falls back to the serial brick
#   partial_sort      __pattern_partial_sort ignores the vector flag
function(add_benchmark algorithm)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "PARALLEL;UNSEQ" "" "")
  set(target bench_${algorithm})
  add_executable(${target} ${PROJECT_SOURCE_DIR}/bench/${algorithm}.cpp)
  target_link_libraries(${target} PRIVATE algobench_support)
  if(ARG_PARALLEL)
    target_compile_definitions(${target} PRIVATE _GLIBCXX_PARALLEL)
    target_link_libraries(${target} PRIVATE OpenMP::OpenMP_CXX)
    set_property(GLOBAL APPEND PROPERTY ALGOBENCH_PARALLEL_PROGRAMS ${target})
    _algobench_variant(${algorithm} _seq ALGOBENCH_BACKEND_SEQUENTIAL)
  endif()
  set_property(GLOBAL APPEND PROPERTY ALGOBENCH_PROGRAMS ${target})
  if(ALGOBENCH_TBB_BACKEND)
    _algobench_variant(${algorithm} _par ALGOBENCH_BACKEND_PAR)
    if(ARG_UNSEQ)
      _algobench_variant(${algorithm} _par_unseq ALGOBENCH_BACKEND_PAR_UNSEQ)
    endif()
  endif()
endfunction()

# One backend variant bench_<algorithm><suffix>, built with `definition`.
function(_algobench_variant algorithm suffix definition)
  set(target bench_${algorithm}${suffix})
  add_executable(${target} ${PROJECT_SOURCE_DIR}/bench/${algorithm}.cpp)
  target_link_libraries(${target} PRIVATE algobench_support)
  target_compile_definitions(${target} PRIVATE ${definition})
  if(NOT definition STREQUAL "ALGOBENCH_BACKEND_SEQUENTIAL")
    target_compile_options(${target} PRIVATE -fopenmp-simd)
    target_link_libraries(${target} PRIVATE TBB::tbb)
  endif()
  set_property(GLOBAL APPEND PROPERTY ALGOBENCH_VARIANTS ${target})
endfunction()
