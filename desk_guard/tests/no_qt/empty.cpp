// Stands in for a Qt library that cannot be used: it has the library's file
// name and none of its contents.
namespace {
[[maybe_unused]] int unused = 0;
}
