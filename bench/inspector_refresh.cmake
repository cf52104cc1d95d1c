# The inspector's live refresh: one shown inspector on the offscreen platform,
# fed a list of 75 processes whose figures move a little from one refresh to
# the next, as a busy machine's do, and a list with ten processes whose names
# are 131 000 characters long. Run: cmake --build build --target bench_inspector_refresh
if(TARGET vyr_app_views)
  add_executable(inspector_refresh_bench ${CMAKE_CURRENT_LIST_DIR}/inspector_refresh.cpp)
  target_link_libraries(inspector_refresh_bench PRIVATE vyr_app_views Qt5::Test)
  target_include_directories(inspector_refresh_bench PRIVATE ${PROJECT_SOURCE_DIR}/app/tests)
  target_compile_definitions(inspector_refresh_bench PRIVATE
    VYR_TEST_ROBOTO="/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Bold.ttf")
  add_custom_target(bench_inspector_refresh
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:inspector_refresh_bench>
    DEPENDS inspector_refresh_bench
    USES_TERMINAL)
endif()
