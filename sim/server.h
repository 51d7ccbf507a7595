// What the simulator's main needs of each transport's server: the VISA resource name a
// client should open, and a way to stop serving.
#pragma once

#include <string>

namespace kobrant::sim {

class server {
 public:
  virtual ~server() = default;
  virtual std::string resource_name() const = 0;
  // Stops accepting, ends every open connection and waits for them; safe to call twice.
  virtual void stop() = 0;
};

}  // namespace kobrant::sim
