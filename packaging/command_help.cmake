# Writes a help2man include file with a COMMANDS section: every command's
# own --help, so that the man page holds each command's options.
#   cmake -DRUNNER=run-korvan-host -DCOMMANDS="run;check" -DOUTPUT=commands.h2m -P command_help.cmake
set(text "[COMMANDS]\n")
foreach(command IN LISTS COMMANDS)
  execute_process(COMMAND ${RUNNER} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${RUNNER} ${command} --help failed: ${result}")
  endif()
  # The usage line names the program, not where it was built.
  string(REGEX REPLACE "Usage: [^ \n]*/" "Usage: " help "${help}")
  # roff: a backslash is written \e, and a line may not start with a control character.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND text ".SS ${command}\n.nf\n${help}\n.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
