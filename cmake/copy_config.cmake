# Copies the shipped configuration into the staged tree (nothing to do before any exists).
if(EXISTS "${SRC}")
  file(COPY "${SRC}/" DESTINATION "${DST}")
endif()
