# SPDX-License-Identifier: Apache-2.0
# Doxygen writes a link page for every documented entity, members of the
# array view class and of the parameter item struct included.  Their names
# (size.3, data.3, next.3, ...) are no routines of this library and would
# take generic names in section 3, so those links are removed; the pages of
# the types themselves stay.  The page of a class template is named in its
# NAME section without its parameters ("kov::array_view< T, Rank >" becomes
# "kov::array_view"), which is how whatis and apropos find it.
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

foreach(page IN LISTS pages)
  if(NOT EXISTS "${page}")
    continue()
  endif()
  file(READ "${page}" text)
  string(REGEX REPLACE "\n\\.SH NAME\n([A-Za-z_:]+)< [^\n]* > \\\\- " "\n.SH NAME\n\\1 \\\\- "
                       named "${text}")
  if(NOT named STREQUAL text)
    file(WRITE "${page}" "${named}")
  endif()
endforeach()
