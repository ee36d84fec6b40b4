# The camera's reply to the certificate upload and camera host names as file
# names: both come from any host that answers as a camera.
if(TARGET teliox_actions)
  teliox_add_fuzzer(fuzz_upload_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_upload_reply.cpp LIBS teliox_actions)
endif()
