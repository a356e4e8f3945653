# Writes the tool's build information into OUTPUT: the project's version and
# the git commit of the source tree. Run on every build, so the commit is
# never stale; the file is rewritten only when its text changes, so an
# unchanged commit recompiles nothing.
#
#   cmake -DSOURCE_DIR=... -DVERSION=... -DGIT=... -DOUTPUT=... -P BuildInfo.cmake
set(commit unknown)
if(GIT)
  # Only a checkout of this tree counts: a source tree unpacked inside some
  # other repository must not report that repository's commit.
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --show-toplevel HEAD
                  OUTPUT_VARIABLE lines RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    string(REPLACE "\n" ";" lines "${lines}")
    list(GET lines 0 top)
    file(REAL_PATH "${SOURCE_DIR}" source)
    file(REAL_PATH "${top}" top)
    if(top STREQUAL source)
      list(GET lines 1 commit)
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [[
// Written by cmake/BuildInfo.cmake on every build.
#include "tools/veriflash/build_info.h"

namespace veriflash {

const char* const TOOL_VERSION = "@VERSION@";
const char* const GIT_COMMIT = "@commit@";

}  // namespace veriflash
]])
