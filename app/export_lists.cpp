#include "app/export_lists.h"

std::string_view RbsKindFilter(RbsKind kind) {
  switch (kind) {
    case RbsKind::kModule:
      return "(Base Class=rbsModule2)";
    case RbsKind::kCategory:
      return "(Base Class=rbsCategory2)";
    case RbsKind::kRole:
      return "(Base Class=rbsRole2)";
    case RbsKind::kBook:
      return "(Base Class=rbsBook2)";
    case RbsKind::kTask:
      break;
  }
  return "(Base Class=rbsTask2)";
}

std::string_view RbsKindName(RbsKind kind) {
  switch (kind) {
    case RbsKind::kModule:
      return "module";
    case RbsKind::kCategory:
      return "category";
    case RbsKind::kRole:
      return "role";
    case RbsKind::kBook:
      return "book";
    case RbsKind::kTask:
      break;
  }
  return "task";
}
