# cmake -DBPFTOOL=... -DOBJ=x.bpf.o -DNAME=x_bpf -DOUT=x.skel.h -P bpf_skeleton.cmake
# Writes the libbpf skeleton of a BPF object; a failed run leaves no half-written header.
execute_process(COMMAND ${BPFTOOL} gen skeleton ${OBJ} name ${NAME}
                OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "bpftool gen skeleton ${OBJ} failed (${rc})")
endif()
file(RENAME ${OUT}.tmp ${OUT})
