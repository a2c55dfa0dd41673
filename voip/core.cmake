# The engine core at the top of voip/: manager, calls, connections, endpoints, routes,
# end reasons, port ranges; NAT methods come from voip/nat.
add_library(voip_core STATIC
  call.cpp
  connection.cpp
  endpoint.cpp
  endreason.cpp
  manager.cpp
  portallocator.cpp
  route.cpp
)
target_include_directories(voip_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(voip_core PUBLIC voip_media voip_nat voip_base Threads::Threads)
