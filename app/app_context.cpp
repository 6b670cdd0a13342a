#include "app/app_context.h"

namespace ventrix {
namespace {
AppContext* current = nullptr;
}

AppContext& app() { return *current; }
void setApp(AppContext* context) { current = context; }

}  // namespace ventrix
