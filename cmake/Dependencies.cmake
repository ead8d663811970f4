# Every third-party library the library uses, gathered on one interface target that is linked
# privately: the public headers include none of them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Boost 1.74 REQUIRED)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(NICE REQUIRED IMPORTED_TARGET nice)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gobject-2.0 gio-2.0)
pkg_check_modules(USRSCTP REQUIRED IMPORTED_TARGET usrsctp)
# The web server's service publication talks to avahi-daemon through its client library.
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
# libnatpmp ships no pkg-config file on Debian: found by its header and library.
find_path(NATPMP_INCLUDE_DIR natpmp.h REQUIRED)
find_library(NATPMP_LIBRARY natpmp REQUIRED)
add_library(ombrelia_natpmp INTERFACE)
target_include_directories(ombrelia_natpmp SYSTEM INTERFACE ${NATPMP_INCLUDE_DIR})
target_link_libraries(ombrelia_natpmp INTERFACE ${NATPMP_LIBRARY})

add_library(ombrelia_deps INTERFACE)
target_link_libraries(ombrelia_deps INTERFACE
  Threads::Threads OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB CURL::libcurl
  nlohmann_json::nlohmann_json Boost::boost
  PkgConfig::PCRE2 PkgConfig::NICE PkgConfig::GLIB PkgConfig::USRSCTP PkgConfig::AVAHI
  ombrelia_natpmp)
target_compile_definitions(ombrelia_deps INTERFACE
  BOOST_ASIO_NO_DEPRECATED JSON_USE_IMPLICIT_CONVERSIONS=0 PCRE2_CODE_UNIT_WIDTH=8)
