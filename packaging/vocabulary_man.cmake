# Writes korvan-variables(7), the names of the values, from `korvan-host list`
# (one tab-separated line per name: name, unit, meaning, source), so that the
# page holds the program's own table.
#   cmake -DRUNNER=run-korvan-host -DVERSION=1.0 -DOUTPUT=korvan-variables.7 -P vocabulary_man.cmake
execute_process(COMMAND ${RUNNER} list OUTPUT_VARIABLE table RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${RUNNER} list failed: ${result}")
endif()

# roff: a backslash is written \e, a minus that is to be typed as one \-, and
# a line may not start with a control character.
function(roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# CMake lists split at ';': the table's own are kept aside while the lines
# are walked.
string(REPLACE ";" "<semicolon>" table "${table}")
string(REPLACE "\n" ";" lines "${table}")
set(rows "")
set(count 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REPLACE "<semicolon>" ";" line "${line}")
  string(REGEX MATCH "^([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t]+)$" matched "${line}")
  if(NOT matched)
    message(FATAL_ERROR "korvan-host list: not NAME, UNIT, MEANING, SOURCE: ${line}")
  endif()
  roff("${CMAKE_MATCH_1}" name)
  set(unit "${CMAKE_MATCH_2}")
  roff("${CMAKE_MATCH_3}" meaning)
  roff("${CMAKE_MATCH_4}" source)
  if(unit STREQUAL "-")
    set(unit_text "")
  else()
    roff("${unit}" unit)
    set(unit_text " Unit: ${unit}.")
  endif()
  string(APPEND rows ".TP\n.B ${name}\n${meaning}.${unit_text}\n.br\nSource: ${source}.\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "korvan-host list printed no name")
endif()

# .nh, .ad l: names are neither hyphenated nor stretched apart.
file(WRITE ${OUTPUT} ".TH KORVAN\\-VARIABLES 7 \"\" \"korvan ${VERSION}\" \"KORVAN\"
.nh
.ad l
.SH NAME
korvan\\-variables \\- names of the values that a KORVAN power system reports
.SH DESCRIPTION
Every value that \\fBkorvan\\-host\\fR(1) reports has a dotted name, given here
with its unit, its meaning and where it comes from. The names are relative to
a power system (a system of the configuration):
\\fBkorvan\\-host get\\fR \\fISYSTEM NAME\\fR prints a running instance's value,
\\fBGET /api/systems/\\fISYSTEM\\fB/values\\fR answers them all,
and \\fBhistory \\-\\-fields\\fR and the API's \\fBhistory?fields=\\fR take them
for stored records.
.PP
\\fB{u}\\fR is an AC or DC unit's place in its system's configuration, from 1
(\\fBac.1.\\fR, \\fBdc.2.\\fR); \\fB{n}\\fR is a channel, battery, fuse, stage or
rectifier module, from 1 as a person counts them. The rectifier group is one
per system (\\fBrectifier.\\fR).
Network UPS Tools' standard names (\\fBinput.frequency\\fR,
\\fBoutput.voltage\\fR, \\fBbattery.current\\fR, ...) are the values of the
system's first AC and DC unit.
.PP
Units: V volts, A amperes (a battery current is positive while charging),
Hz hertz, degC degrees Celsius. Flags are 1 or 0; states are the codes the
plant reports, listed with each; counts are how many items the plant announces.
.PP
The source is the record type (5209 AC, 5210 DC, 5211 rectifiers) and the
field of the decoded record, positions from 0 written as a formula of n, with
the value that makes a flag 1; then the point read's name ({i} from 0) where
one serves the value; \\fB=\\fR a standard name taken from another. The record
paths of earlier versions (\\fBchannels.0.a\\fR, \\fBm_value.2\\fR) are still
accepted by \\fBhistory \\-\\-fields\\fR and the API.
.SH VARIABLES
${rows}.SH SEE ALSO
.BR korvan\\-host (1).
The vocabulary.md document in /usr/share/doc/korvan/docs.
")
