// Temporary: replaced by the workspace implementation.
#include "support/workspace.h"
#include "support/failure.h"
namespace vantrel {
Workspace::Workspace() { throw Failure{L"无法创建临时目录"}; }
Workspace::~Workspace() = default;
}  // namespace vantrel
