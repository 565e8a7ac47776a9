# Writes the bash completion from its template and the command line's tables:
# cmake -DWORDS=<qx_cli_words> -DIN=<template> -DOUT=<file> -P make_completion.cmake
execute_process(COMMAND ${WORDS} completion OUTPUT_VARIABLE QXFLASH_WORDS RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${WORDS} completion failed: ${rc}")
endif()
string(STRIP "${QXFLASH_WORDS}" QXFLASH_WORDS)
configure_file(${IN} ${OUT} @ONLY)
