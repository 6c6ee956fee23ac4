#include "app/tool_context.h"

namespace quarn {

ToolContext::~ToolContext() {
  dynstr_list_clear(inputs);
  dynstr_list_clear(output_directory);
  dynstr_free(root);
  output_fs = nullptr;
  own_output_fs.reset();
  input_fs.reset();
}

std::unique_ptr<ToolContext> tool_context_create() {
  return std::unique_ptr<ToolContext>(new (std::nothrow) ToolContext());
}

}  // namespace quarn
