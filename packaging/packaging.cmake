# What the packages hold and how they are named; scripts/package.sh runs CPack
# in the Linux and in the 32-bit Windows build folder. Packages go to dist/.
set(CPACK_PACKAGE_NAME loggerdump)
set(CPACK_PACKAGE_VENDOR "loggerdump developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "memory reader for a PIC data logger on a serial port")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)
set(PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# Installing (and so CPack) takes the files as built: scripts/package.sh builds
# the programs and the documents of a cross build without its test programs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# program_constant(HEADER NAME VARIABLE): the value of the constant NAME
# (an integer) as the program's header HEADER defines it.
function(program_constant header name variable)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} line REGEX "constexpr [a-z ]+ ${name} = [0-9]+;")
  string(REGEX REPLACE ".* = ([0-9]+).*" "\\1" value "${line}")
  if(NOT value MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${name} is not defined in ${header}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${header})
  set(${variable} ${value} PARENT_SCOPE)
endfunction()

if(WIN32)
  # A zip to unpack anywhere: the program and a plain-text README with the
  # CR LF line ends that every Windows editor shows right, and a UTF-8 byte
  # order mark, without which Notepad before Windows 10 1903 takes the
  # Japanese half for the system's code page.
  install(TARGETS loggerdump RUNTIME DESTINATION .)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PACKAGING_DIR}/README.txt)
  file(READ ${PACKAGING_DIR}/README.txt readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  string(ASCII 239 187 191 byteOrderMark)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt "${byteOrderMark}${readme}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME loggerdump-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS loggerdump loggersim RUNTIME DESTINATION bin)
  # As Debian strips its programs: also without the compilers' notes.
  foreach(program loggerdump loggersim)
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment
        --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\"
        RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"${CMAKE_STRIP} failed on ${program}\")
      endif()")
  endforeach()
  # The numbers the man page states are the program's own, read from the
  # headers that --help takes them from.
  program_constant(dump/dumpoptions.h CountdownSteps COUNTDOWN_STEPS)
  program_constant(dump/resume.h WitnessLimit WITNESS_LIMIT)
  program_constant(dump/resume.h WitnessRecordLines WITNESS_RECORD_LINES)
  program_constant(logger/logger.h BlockTries BLOCK_TRIES)
  program_constant(logger/logger.h BadBlocksInARowLimit BAD_BLOCKS_IN_A_ROW)
  program_constant(logger/logger.h NoSoundReplyLimitMs NO_SOUND_REPLY_MS)
  program_constant(logger/logger.h LinkLostAfterMs LINK_LOST_MS)
  math(EXPR NO_SOUND_REPLY_SECONDS "${NO_SOUND_REPLY_MS} / 1000")
  math(EXPR LINK_LOST_SECONDS "${LINK_LOST_MS} / 1000")
  # Man pages, the README and the changelog are installed compressed, without
  # gzip's name and time stamp, so that every build gives the same bytes.
  set(docs ${CMAKE_CURRENT_BINARY_DIR}/package)
  configure_file(${PACKAGING_DIR}/loggerdump.1.in ${docs}/loggerdump.1 @ONLY)
  configure_file(${PACKAGING_DIR}/loggersim.1.in ${docs}/loggersim.1 @ONLY)
  set(gzipped)
  foreach(source ${docs}/loggerdump.1 ${docs}/loggersim.1 ${PROJECT_SOURCE_DIR}/README.md
          ${PACKAGING_DIR}/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${docs}/${name}.gz
      COMMAND gzip -9 -n -c ${source} > ${docs}/${name}.gz
      DEPENDS ${source} VERBATIM)
    list(APPEND gzipped ${docs}/${name}.gz)
  endforeach()
  add_custom_target(package_docs ALL DEPENDS ${gzipped})
  install(FILES ${docs}/loggerdump.1.gz ${docs}/loggersim.1.gz DESTINATION share/man/man1)
  install(FILES ${docs}/README.md.gz ${docs}/changelog.gz ${PACKAGING_DIR}/copyright
          DESTINATION share/doc/loggerdump)
  # The notes the README links to, beside it as its links expect, uncompressed
  # so that the links lead to them.
  file(GLOB notes CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES ${notes} DESTINATION share/doc/loggerdump/docs)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(LOGGERDUMP_MAINTAINER "loggerdump maintainers <maintainers@users.noreply.c-seed-7cac4d30.example>"
      CACHE STRING "Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LOGGERDUMP_MAINTAINER}")
  # The summary above becomes the first line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "loggerdump reads the whole 256 KiB memory of a PIC-based data logger over a
serial port in 1024 blocks and stores it as logger.hex (the Intel HEX records
as received) and logger.bin (the memory image). It lists the serial ports,
asks which one to use (or takes it with --port) and shows the progress.
loggersim, a substitute logger on a pseudo-terminal, is included for trying
the tool without the hardware.")
  # Depends from the libraries the programs really load (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A cross build (cmake/linux-*.cmake) names its machine; dpkg-shlibdeps then
  # reads that architecture's C library (Debian's multiarch libc6:ARCH) and
  # objdump, by the DEB_HOST_ARCH that CPack passes on.
  if(LOGGERDUMP_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LOGGERDUMP_DEB_ARCH})
    file(WRITE ${docs}/cpack-host.cmake "set(ENV{DEB_HOST_ARCH} ${LOGGERDUMP_DEB_ARCH})\n")
    set(CPACK_PROJECT_CONFIG_FILE ${docs}/cpack-host.cmake)
  endif()
endif()
include(CPack)
