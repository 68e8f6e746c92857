# Creates the staged tree's directories. State and logs get the modes an installation gives
# them whatever the umask of the build: the digest store names what ran on the host.
file(MAKE_DIRECTORY "${STAGE}/bin" "${STAGE}/lib" "${STAGE}/config" "${STAGE}/var/data"
     "${STAGE}/var/spool" "${STAGE}/logs")
# The spool holds documents an output could not deliver yet: the agent's user alone.
file(CHMOD "${STAGE}/var/spool" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
file(CHMOD "${STAGE}/var/data" "${STAGE}/logs" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
