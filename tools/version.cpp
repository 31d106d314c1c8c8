// Placeholder until the scenario player lands.
namespace vibra_tool {
const char *version() { return "0.1.0"; }
}
