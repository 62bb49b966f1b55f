#include "oscar/parser_creators.h"

namespace {

// Releases a parser factory handed out as void*: fini() once, then delete.
void release_parser_creator(void* p) {
  if (p == nullptr) return;
  Object_Creator_T<YAJL_Handler>* creator = static_cast<Object_Creator_T<YAJL_Handler>*>(p);
  creator->fini();
  delete creator;
}

void _gobble_Oscar_Backup_Job_Options_Parser_Creator(void* p) { release_parser_creator(p); }
void _gobble_Oscar_Backup_Job_Source_Parser_Creator(void* p) { release_parser_creator(p); }
void _gobble_Oscar_Restore_Job_Options_Parser_Creator(void* p) { release_parser_creator(p); }
void _gobble_Oscar_Restore_Job_Source_Parser_Creator(void* p) { release_parser_creator(p); }

}  // namespace

Object_Creator_T<YAJL_Handler>* _make_Oscar_Backup_Job_Options_Parser_Creator(Object_Creator_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = _gobble_Oscar_Backup_Job_Options_Parser_Creator;
  return new Oscar_Backup_Job_Options_Parser_Creator;
}

Object_Creator_T<YAJL_Handler>* _make_Oscar_Backup_Job_Source_Parser_Creator(Object_Creator_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = _gobble_Oscar_Backup_Job_Source_Parser_Creator;
  return new Oscar_Backup_Job_Source_Parser_Creator;
}

Object_Creator_T<YAJL_Handler>* _make_Oscar_Restore_Job_Options_Parser_Creator(Object_Creator_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = _gobble_Oscar_Restore_Job_Options_Parser_Creator;
  return new Oscar_Restore_Job_Options_Parser_Creator;
}

Object_Creator_T<YAJL_Handler>* _make_Oscar_Restore_Job_Source_Parser_Creator(Object_Creator_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = _gobble_Oscar_Restore_Job_Source_Parser_Creator;
  return new Oscar_Restore_Job_Source_Parser_Creator;
}
