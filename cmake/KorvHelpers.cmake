# Targets are built from whatever .cpp files a folder holds, so adding a file needs no CMake
# edit; CONFIGURE_DEPENDS makes the next build re-run the glob.

# korv_glob_sources(<var> <dir>): the .cpp files directly inside <dir> (none if it is absent).
function(korv_glob_sources var dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(${var} ${sources} PARENT_SCOPE)
endfunction()
