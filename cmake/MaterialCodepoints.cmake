# Builds the font's glyph list ("name code" per line, code in hexadecimal)
# from either the iconfont's SCSS map ("name": code,) or a ready list.
# Runs at configure time so the resource compiler sees a finished file.
function(veltrano_generate_codepoints source output required)
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "Material Icons glyph table not found at '${source}'. "
                        "Install fonts-material-design-icons-iconfont or set VELTRANO_MATERIAL_GLYPHS.")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")

  file(STRINGS "${source}" lines)
  set(text "")
  set(names "")
  foreach(line IN LISTS lines)
    # Two separate tests: if() evaluates both sides of an OR, and the failing
    # match would clear the groups of the successful one.
    set(matched FALSE)
    if(line MATCHES "^[ \t]*\"([A-Za-z0-9_]+)\"[ \t]*:[ \t]*([0-9A-Fa-f]+)[ \t]*,?[ \t]*$")
      set(matched TRUE)
    elseif(line MATCHES "^[ \t]*([A-Za-z0-9_]+)[ \t]+([0-9A-Fa-f]+)[ \t]*$")
      set(matched TRUE)
    endif()
    if(matched)
      string(APPEND text "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}\n")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()

  foreach(glyph IN LISTS required)
    if(NOT glyph IN_LIST names)
      message(FATAL_ERROR "The glyph table '${source}' has no glyph named '${glyph}'.")
    endif()
  endforeach()

  # Rewrite only on change, so an unchanged list does not recompile the resources.
  file(WRITE "${output}.tmp" "${text}")
  configure_file("${output}.tmp" "${output}" COPYONLY)
endfunction()
