#pragma once

#include <string>
#include <vector>

#include "core/host_interface.h"

namespace qb {

// One decoded name/value pair of a page link or a form post.
struct QueryPair {
  std::string name;
  std::string value;
};

// The web pages' process-wide state: the pairs of the request being answered. Every request is
// answered in one call on the plug-in thread, so one request's pairs never mix with another's.
struct WebState {
  std::vector<QueryPair> QueryPairs;
  // How the host is to answer the page being built (a page builder sets it).
  PageAnswer Answer;
};

WebState& Web();
// Forgets the last request's pairs (tests).
void ResetWeb();

}  // namespace qb
