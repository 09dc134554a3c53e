# The libraries' public headers: what the installed package offers and all
# that tools/ may include from src/. Each listed header brings the headers it
# includes, so the set is self-contained; the rest of src/ (platform/posix,
# platform/win32, the channel, the codecs' internals) stays private.
set(VELA_PUBLIC_HEADER_ENTRIES
  common/types.h common/errors.h common/hex.h common/utf8.h common/datetime.h common/text.h
  coding/text_coding.h coding/sms.h coding/reassembly.h
  pdu/pdu_sms.h
  platform/codepage.h platform/message_target.h platform/termination.h
  at/line_framing.h
  modem/vuz_vela.h modem/ussd.h)
# Headers of libraries that are part of velasms but not installed (the gateway).
set(VELA_TOOL_HEADERS gateway/gateway.h gateway/config.h)

# vela_public_headers(<out>): the entries and every src/ header they include,
# relative to src/.
function(vela_public_headers out)
  set(pending ${VELA_PUBLIC_HEADER_ENTRIES})
  set(found)
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST found)
      continue()
    endif()
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/src/${header})
      message(FATAL_ERROR "public header src/${header} does not exist (cmake/VelaPublicHeaders.cmake)")
    endif()
    list(APPEND found ${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/src/${header} includes REGEX "^#include \"[a-z_0-9]+/[a-z_0-9]+\\.h\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND pending ${included})
    endforeach()
  endwhile()
  list(SORT found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()
