# The engine cycle: the C++ core, the engine module and the classic Python
# library doing the same work, side by side. Run: cmake --build build --target bench_engine_cycle
if(TARGET vyr_engine_core)
  add_executable(engine_cycle_bench ${CMAKE_CURRENT_LIST_DIR}/engine_cycle.cpp)
  target_link_libraries(engine_cycle_bench PRIVATE vyr_engine_core)
  target_compile_definitions(engine_cycle_bench PRIVATE
    VYR_BENCH_DIR="${CMAKE_CURRENT_LIST_DIR}"
    VYR_DIST_DIR="${VYR_DIST_DIR}"
    VYR_TARGET_PYTHON="${Python_EXECUTABLE}")
  add_custom_target(bench_engine_cycle
    COMMAND engine_cycle_bench
    DEPENDS engine_cycle_bench vyr_engine_module
    USES_TERMINAL)
endif()
