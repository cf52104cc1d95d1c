# The monitor's own CPU use and peak memory under Xvfb, capsule only and with
# the inspector open beside btop:  cmake --build build --target bench_app_cpu
add_custom_target(bench_app_cpu
  COMMAND ${Python_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/app_cpu.py --dist ${VYR_DIST_DIR}
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
  USES_TERMINAL)
