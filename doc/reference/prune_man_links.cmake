# Doxygen writes a link page for every documented entity, members of the
# array view class and of the parameter item struct included.  Their names
# (size.3, data.3, next.3, ...) are no routines of this library and would
# take generic names in section 3, so those links are removed; the pages of
# the types themselves stay.
# Usage: cmake -DMAN_DIR=<dir with the .3 pages> -P prune_man_links.cmake
file(GLOB pages "${MAN_DIR}/*.3")
foreach(page IN LISTS pages)
  file(READ "${page}" text LIMIT 64)
  if(text MATCHES "^\\.so man3/(kov_array_view|hash_item)\\.3")
    get_filename_component(name "${page}" NAME)
    if(NOT name STREQUAL "array_view.3")
      file(REMOVE "${page}")
    endif()
  endif()
endforeach()
