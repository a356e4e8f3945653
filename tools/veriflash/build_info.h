// What the build knows about itself, for `veriflash version` and every
// command's --version. Defined in a source file the build writes
// (cmake/BuildInfo.cmake), so the commit is that of the last build.
#pragma once

namespace veriflash {

// The project's version, as in CMakeLists.txt and the Debian package: "0.1.0".
extern const char* const TOOL_VERSION;
// The full hash of the git commit the tool was built from, or "unknown" when
// the source tree is not a git checkout of its own.
extern const char* const GIT_COMMIT;

}  // namespace veriflash
