# The engine cycle: the C++ core, the floor of plain file reads, the engine
# module and the classic Python library doing the same work, side by side in
# rounds. Run: cmake --build build --target bench_engine_cycle
if(TARGET vyr_engine_core)
  # Plain on purpose: no engine code, nothing but the system calls.
  add_executable(proc_read_floor ${CMAKE_CURRENT_LIST_DIR}/proc_read_floor.cpp)

  add_executable(engine_cycle_bench ${CMAKE_CURRENT_LIST_DIR}/engine_cycle.cpp
                                    ${CMAKE_CURRENT_LIST_DIR}/proc_read_floor.cpp)
  target_link_libraries(engine_cycle_bench PRIVATE vyr_engine_core)
  add_dependencies(engine_cycle_bench proc_read_floor)
  target_compile_definitions(engine_cycle_bench PRIVATE
    VYR_FLOOR_IN_BENCH
    VYR_FLOOR_PROGRAM="$<TARGET_FILE:proc_read_floor>"
    VYR_BENCH_DIR="${CMAKE_CURRENT_LIST_DIR}"
    VYR_DIST_DIR="${VYR_DIST_DIR}"
    VYR_TARGET_PYTHON="${Python_EXECUTABLE}")
  add_custom_target(bench_engine_cycle
    COMMAND engine_cycle_bench
    DEPENDS engine_cycle_bench proc_read_floor vyr_engine_module
    USES_TERMINAL)
endif()
