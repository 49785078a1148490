#pragma once

// The class side of a URL connection type: what is shared by all of its
// connections. The service root mirrors its dry-run switch into it.
// Threads: any thread.
class TLMConnectionClass {
 public:
  virtual ~TLMConnectionClass() = default;
  virtual void setDryRun(bool dryRun) = 0;
  virtual bool dryRun() const = 0;
};
