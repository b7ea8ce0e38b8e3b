# Run by CPack on the staged tree before it is packed: compresses the manual
# pages as Debian ships them (gzip -9n: no name, no time stamp inside).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1")
if(pages)
  execute_process(COMMAND gzip -9nf ${pages} COMMAND_ERROR_IS_FATAL ANY)
endif()
