# cmake -DROOT=dir -DNAMES=a|b|c -P fresh_folders.cmake
# Makes ROOT/a, ROOT/b, ... afresh and empty, so that no file left by an earlier run
# can decide the next one.
string(REPLACE "|" ";" names "${NAMES}")
foreach(name ${names})
  file(REMOVE_RECURSE "${ROOT}/${name}")
  file(MAKE_DIRECTORY "${ROOT}/${name}")
endforeach()
