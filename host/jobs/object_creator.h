#ifndef HOST_OBJECT_CREATOR_H
#define HOST_OBJECT_CREATOR_H

// Base of the factories a module exports: init and fini bracket the
// factory's use (the defaults do nothing and answer 0); create makes one
// object, destroy releases one that create made.
template <typename T>
class Object_Creator_T {
 public:
  virtual ~Object_Creator_T() {}
  virtual int init(int /*argc*/, char** /*argv*/) { return 0; }
  virtual int fini() { return 0; }
  virtual T* create() = 0;
  virtual void destroy(T* p) = 0;
};

// The destroy function a module's factory hands back with a factory: it
// takes the factory as void* and releases it; a null pointer does nothing.
typedef void (*Object_Creator_Exterminator)(void*);

#endif
