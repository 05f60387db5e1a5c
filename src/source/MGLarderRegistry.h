// File-provider lookups: how the program finds a running Larder.
//
// A running Larder announces each of its domains with one small file in a
// per-user registry folder: $KERFLINE_LARDER_REGISTRY when set (tests),
// else $XDG_RUNTIME_DIR/kerfline-larder, else /tmp/kerfline-larder-<uid>.
// The folder is private to its user (0700, owned by the user); entries in a
// folder that is not are ignored. An entry is written atomically (a
// temporary file renamed into place) and holds lines of key=value:
//
//   identifier=<domain identifier>
//   root=<absolute path of the domain's folder>
//   socket=<absolute path of the range service's Unix socket>
//   service=<a service name>          (one line per service offered)
//
// A file belongs to a domain when its real path lies under the real path of
// the domain's root; its item identifier is the path relative to the root.
//
// The lookups give the four outcomes the opening flow relies on: a service
// found (a service reference), a service missing (none), a connection
// obtained (MGLarderServiceRef::connect succeeds), a connection dropped
// (the connection's handlers).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "source/MGLarderConnection.h"

namespace kf {

struct MGLarderDomain {
  std::string identifier;
  std::string displayName = "Larder";
  std::string root;
  std::string socketPath;
  std::vector<std::string> services;
};

// One service of one item, as handed out by a lookup.
struct MGLarderServiceRef {
  std::string serviceName;
  std::string itemIdentifier;
  std::string socketPath;
  // Opens the connection (blocking; see MGLarderConnection::connect).
  kf::Result<std::shared_ptr<MGLarderConnection>> connect() const;
};

// The default registry folder (see above).
std::string MGLarderRegistryDirectory();

// Creates the folder (0700) if needed and writes the domain's entry
// atomically, replacing an older one. Fails when the folder is not private.
kf::Status MGPublishLarderDomain(const std::string& directory, const MGLarderDomain& domain);
void MGWithdrawLarderDomain(const std::string& directory, const std::string& identifier);
// The path of a domain's entry file (the identifier is hex-encoded, so any
// identifier makes a safe file name).
std::string MGLarderDomainEntryPath(const std::string& directory, const std::string& identifier);
// The folder a service program should put its socket in: the registry folder.
std::string MGLarderSocketPath(const std::string& directory, const std::string& identifier);

// The domain's manager: its entry, or nothing when no such domain runs.
std::optional<MGLarderDomain> MGLookupLarderDomain(const std::string& directory,
                                                   const std::string& identifier);
std::vector<MGLarderDomain> MGListLarderDomains(const std::string& directory);

// A domain's service `name` for `item`: nothing when the domain does not
// offer that service.
std::optional<MGLarderServiceRef> MGLarderServiceWithName(const MGLarderDomain& domain,
                                                          const std::string& name, const std::string& item);
// The services of the file at `path`, by name: empty when the file lies in
// no announced domain (or does not exist).
std::map<std::string, MGLarderServiceRef> MGFileProviderServicesForItem(const std::string& directory,
                                                                        const std::string& path);

}  // namespace kf
