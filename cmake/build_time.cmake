# Writes OUTPUT, the header that holds the banner's build date and time, laid
# out as the compiler's __DATE__ ("Dec  6 2026") and __TIME__ ("03:59:14")
# show them. Run by the build each time the daemon is compiled, so the time
# is that of the compile, not of the configure. SOURCE_DATE_EPOCH, when set
# in the build's environment, fixes it (in UTC) for a reproducible build.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(utc UTC)
endif()
string(TIMESTAMP month "%b" ${utc})
string(TIMESTAMP day "%d" ${utc})
string(TIMESTAMP year "%Y" ${utc})
string(TIMESTAMP time "%H:%M:%S" ${utc})
string(REGEX REPLACE "^0" " " day "${day}")
file(WRITE "${OUTPUT}" "// Written by the build: the moment the daemon was compiled.
#pragma once
#define DROVIK_BUILD_DATE \"${month} ${day} ${year}\"
#define DROVIK_BUILD_TIME \"${time}\"
")
