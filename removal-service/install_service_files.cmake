# Writes the installed activation file and systemd user unit, at install
# time, so that both name the service installed under the prefix given then
# (cmake --install --prefix, or the packager's /usr) and each other.
#
# Set by the install rule: service_name, service_unit, the two templates,
# libexec_dir and data_dir (relative to the prefix).
#
# systemd looks for user units in lib/systemd/user only under /usr and
# /usr/local; under any other prefix (~/.local) the unit goes to
# share/systemd/user, read from the same data folders as the bus's
# dbus-1/services, so that wherever the bus finds the activation file,
# systemd finds the unit it names.
set(service_exec "${CMAKE_INSTALL_PREFIX}/${libexec_dir}/quillfen/QuillfenRemovalService")
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/*$")
  set(unit_dir lib/systemd/user)
else()
  set(unit_dir ${data_dir}/systemd/user)
endif()
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
foreach(pair
    "${activation_template}|${data_dir}/dbus-1/services/${service_name}.service"
    "${unit_template}|${unit_dir}/${service_unit}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 template)
  list(GET pair 1 file)
  message(STATUS "Installing: ${root}/${file}")
  configure_file("${template}" "${root}/${file}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/${file}")
endforeach()
