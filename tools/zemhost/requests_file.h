// Batches of decisions, one JSON object per line:
//   {"resource": ..., "operation": ..., "creds": [[NAME, VALUE], ...], "context": [[NAME, VALUE], ...]}
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "decision.h"

namespace zemhost {

struct NumberedRequest {
    int line;
    DecisionRequest request;
};

struct RequestBatch {
    std::vector<NumberedRequest> requests;
    std::vector<std::string> malformed;  // "line N: what is wrong"
};

// Blank lines are skipped; a malformed line is described and left out, the others are kept.
RequestBatch readRequests(std::istream& in);
// Reads `path`, or standard input for "-". Throws HostError when the file cannot be opened.
RequestBatch readRequestsFile(const std::string& path);

}  // namespace zemhost
