// Resource-manager sessions, instrument sessions and find lists behind ViObject handles.
// A manager owns what was opened through it: closing it closes them all.
#pragma once

#include "session.h"
#include <kobrant/visa.h>

#include <memory>
#include <string>
#include <string_view>

namespace kobrant::visa {

ViStatus open_default_rm(ViSession& out);

// Opens an instrument session through manager rm. open_timeout_ms bounds connecting and the
// handshake; 0 gets the default bound.
ViStatus open_session(ViSession rm, std::string_view resource, ViAccessMode mode,
                      ViUInt32 open_timeout_ms, ViSession& out);

// The session behind a handle, or nullptr when the handle names no open instrument session.
std::shared_ptr<session> find_session(ViSession vi);

// Closes a manager (with everything opened through it), a session or a find list.
ViStatus close_object(ViObject object);

// Searches the resources that can be found without configuration. first gets the first match.
ViStatus find_resources(ViSession rm, std::string_view expression, ViFindList& list,
                        ViUInt32& count, std::string& first);
ViStatus find_next(ViFindList list, std::string& name);

// Whether object is an open manager session (manager attributes are answered elsewhere).
bool is_manager(ViObject object);

inline constexpr ViUInt32 default_open_timeout_ms = 5000;

}  // namespace kobrant::visa
