// Handle table. Handles are never 0 and are not reused while open; the table lock is held only
// to look up, add or remove entries, never across I/O, so a slow instrument cannot block other
// sessions. A session in use by one thread while another closes it stays alive until the I/O
// returns (shared ownership), then goes; closing it wakes that I/O (session.h).
//
// The table is never destroyed: threads may still be inside the library while the process
// exits, and exit handlers must not pull the table from under them.
#include "resource_manager.h"

#include "find_expr.h"
#include "lan_discovery.h"
#include "transport.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <variant>
#include <vector>

namespace kobrant::visa {
namespace {

struct manager_object {};
struct find_list_object {
  std::vector<std::string> names;
  std::size_t next = 1;  // the first name went back with viFindRsrc
};

struct entry {
  ViSession parent = VI_NULL;  // the manager that opened it; VI_NULL for a manager
  std::variant<manager_object, std::shared_ptr<session>, find_list_object> object;
};

class handle_table {
 public:
  // Adds object under parent (VI_NULL for a manager). VI_NULL when the parent is no open
  // manager any more: a manager closed while something was being opened through it takes
  // that along too.
  ViObject add(ViSession parent, decltype(entry::object) object) {
    std::lock_guard lock(mutex_);
    if (parent != VI_NULL) {
      auto it = entries_.find(parent);
      if (it == entries_.end() || !std::holds_alternative<manager_object>(it->second.object)) return VI_NULL;
    }
    do {
      ++last_;
    } while (last_ == VI_NULL || entries_.count(last_));
    entries_.emplace(last_, entry{parent, std::move(object)});
    return last_;
  }

  // Removes object and, for a manager, everything it opened. The sessions are closed after the
  // lock is released.
  ViStatus remove(ViObject object) {
    std::vector<std::shared_ptr<session>> to_close;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(object);
      if (it == entries_.end()) return VI_ERROR_INV_OBJECT;
      if (std::holds_alternative<manager_object>(it->second.object)) {
        for (auto child = entries_.begin(); child != entries_.end();) {
          if (child->second.parent == object) {
            if (auto* s = std::get_if<std::shared_ptr<session>>(&child->second.object)) to_close.push_back(*s);
            child = entries_.erase(child);
          } else {
            ++child;
          }
        }
        it = entries_.find(object);
      } else if (auto* s = std::get_if<std::shared_ptr<session>>(&it->second.object)) {
        to_close.push_back(*s);
      }
      entries_.erase(it);
    }
    for (auto& s : to_close) s->close();
    return VI_SUCCESS;
  }

  template <typename T>
  bool with(ViObject object, auto&& fn) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(object);
    if (it == entries_.end()) return false;
    T* value = std::get_if<T>(&it->second.object);
    if (!value) return false;
    fn(*value);
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<ViObject, entry> entries_;
  ViObject last_ = VI_NULL;
};

// After the local resources: what answers on the local networks, in the order discovery found
// it (by numeric address), then by name. Nothing is sent when the expression cannot match a
// name discovery gives, or KOBRANT_DISCOVERY_MS is 0.
void add_discovered(const find_expr& expr, std::vector<std::string>& names) {
  const auto rows = all_transports();
  const bool any = std::any_of(rows.begin(), rows.end(), [](const transport_entry* t) { return t->discovered_name; });
  if (!any || !expr.may_match_name_starting(discovered_name_prefix)) return;
  std::vector<std::pair<ipv4, std::string>> found;
  for (const lan_service& service : discover_lan(discovery_window_ms(std::getenv("KOBRANT_DISCOVERY_MS"))))
    for (const transport_entry* t : rows)
      if (t->discovered_name)
        if (std::string name = t->discovered_name(service); !name.empty()) found.emplace_back(service.address, std::move(name));
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  for (auto& [address, name] : found) names.push_back(std::move(name));
}

handle_table& table() {
  // Reachable from a static pointer, so leak checkers see it as in use rather than lost.
  static handle_table* const instance = new handle_table;
  return *instance;
}

}  // namespace

ViStatus open_default_rm(ViSession& out) {
  out = table().add(VI_NULL, manager_object{});
  return VI_SUCCESS;
}

bool is_manager(ViObject object) {
  return table().with<manager_object>(object, [](manager_object&) {});
}

ViStatus open_session(ViSession rm, std::string_view resource, ViAccessMode mode,
                      ViUInt32 open_timeout_ms, ViSession& out) {
  out = VI_NULL;
  if (!is_manager(rm)) return VI_ERROR_INV_OBJECT;
  if (mode & ~(VI_EXCLUSIVE_LOCK | VI_SHARED_LOCK | VI_LOAD_CONFIG)) return VI_ERROR_INV_ACC_MODE;
  if ((mode & VI_EXCLUSIVE_LOCK) && (mode & VI_SHARED_LOCK)) return VI_ERROR_INV_ACC_MODE;

  resource_name name;
  ViStatus status = parse_resource_name(resource, name);
  if (status < 0) return status;
  // Callers that pass 0 mean "do not wait for a lock", not "connect in no time".
  ViUInt32 bound = open_timeout_ms == 0 ? default_open_timeout_ms : open_timeout_ms;

  const transport_entry& entry = transport_for(name);
  auto s = std::make_shared<session>(std::move(name), entry);
  status = s->open(deadline::after_ms(bound));
  if (status < 0) return status;
  out = table().add(rm, s);
  if (out == VI_NULL) {
    s->close();
    return VI_ERROR_INV_OBJECT;
  }
  return status;
}

std::shared_ptr<session> find_session(ViSession vi) {
  std::shared_ptr<session> found;
  table().with<std::shared_ptr<session>>(vi, [&](std::shared_ptr<session>& s) { found = s; });
  return found;
}

ViStatus close_object(ViObject object) {
  if (object == VI_NULL) return VI_WARN_NULL_OBJECT;
  return table().remove(object);
}

ViStatus find_resources(ViSession rm, std::string_view expression, ViFindList& list,
                        ViUInt32& count, std::string& first) {
  list = VI_NULL;
  count = 0;
  if (!is_manager(rm)) return VI_ERROR_INV_OBJECT;
  find_expr expr;
  ViStatus status = find_expr::compile(expression, expr);
  if (status < 0) return status;

  std::vector<std::string> all;
  for (const transport_entry* t : all_transports())
    if (t->list) t->list(all);
  add_discovered(expr, all);
  find_list_object found;
  // A name too long for the caller's VI_FIND_BUFLEN buffer could only be reported cut short.
  for (auto& name : all)
    if (name.size() < VI_FIND_BUFLEN && expr.matches(name)) found.names.push_back(std::move(name));
  if (found.names.empty()) return VI_ERROR_RSRC_NFOUND;

  const auto found_count = static_cast<ViUInt32>(found.names.size());
  std::string found_first = found.names.front();
  list = table().add(rm, std::move(found));
  if (list == VI_NULL) return VI_ERROR_INV_OBJECT;
  count = found_count;
  first = std::move(found_first);
  return VI_SUCCESS;
}

ViStatus find_next(ViFindList list, std::string& name) {
  ViStatus status = VI_ERROR_RSRC_NFOUND;
  bool known = table().with<find_list_object>(list, [&](find_list_object& f) {
    if (f.next < f.names.size()) {
      name = f.names[f.next++];
      status = VI_SUCCESS;
    }
  });
  return known ? status : VI_ERROR_INV_OBJECT;
}

}  // namespace kobrant::visa
