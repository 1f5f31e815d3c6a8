# The resource fixture of the stand-in's tests. Host build: resgen compiles it into
# winsim_user_tests, whose tests read it back through LoadStringW, FormatMessageW and the dialog
# functions. Windows build: windres and windmc compile it into a small program, proving the same
# sources build there.
set(korv_fixture_dir ${CMAKE_CURRENT_LIST_DIR})
if(KORV_WINDOWS)
  add_executable(resource_fixture WIN32 ${korv_fixture_dir}/fixture_program.cpp)
  target_link_options(resource_fixture PRIVATE -municode)
  target_link_libraries(resource_fixture PRIVATE user32 kernel32)
  korv_add_resources(resource_fixture RC ${korv_fixture_dir}/fixture.rc MC ${korv_fixture_dir}/fixture.mc)
else()
  korv_add_resources(winsim_user_tests RC ${korv_fixture_dir}/fixture.rc MC ${korv_fixture_dir}/fixture.mc)
  target_compile_definitions(winsim_user_tests PRIVATE KORV_USER_TEST_DATA="${korv_fixture_dir}")
endif()
