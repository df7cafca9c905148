// ProcRequest operations: plain field updates, never validated here.
#include "corvane/request.hpp"

namespace corvane {

ProcRequest ProcRequest::with_cwd(Path dir) && {
  cwd = std::move(dir);
  return std::move(*this);
}

ProcRequest ProcRequest::with_env(EnvMap vars) && {
  env = std::move(vars);
  return std::move(*this);
}

ProcRequest ProcRequest::with_env_var(std::string key, std::string value) && {
  env.insert_or_assign(std::move(key), std::move(value));
  return std::move(*this);
}

}  // namespace corvane
