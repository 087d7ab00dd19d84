#include "StoreError.h"

StoreError::StoreError(const std::string& operation, const std::string& file, const std::string& reason)
    : std::runtime_error("key-value store: " + operation + " failed on " + file + ": " + reason), op(operation),
      path(file)
{
}
