#include "threading/Mutex.h"

#include <cerrno>

#include "diagnostics/Log.h"

namespace Threading {

Mutex::Mutex(std::string name, bool initialize, bool robust) : name_(std::move(name)) {
    if (!initialize) {
        return;
    }
    if (Initialize(robust)) {
        LOG_INFO << "Mutex initialized in .ctor";
    } else {
        LOG_ERROR << "Cannot initialize mutex in .ctor";
    }
}

Mutex::~Mutex() {
    Destroy();
}

bool Mutex::Initialize(bool robust) {
    if (initialized_) {
        return true;
    }
    int result = pthread_mutexattr_init(&attributes_);
    if (result == ENOMEM) {
        LOG_ERROR << "Cannot initialize mutex attributes. No memory. Mutex: " << name_;
    } else if (result == EINVAL) {
        LOG_ERROR << "Cannot initialize mutex attributes. Invalid values. Mutex: " << name_;
    }
    if (result != 0) {
        return initialized_ = false;
    }
    result = pthread_mutexattr_settype(&attributes_, PTHREAD_MUTEX_ERRORCHECK);
    if (result == ENOMEM) {
        LOG_ERROR << "Cannot set mutex type to error check. No memory. Mutex: " << name_;
    } else if (result == EINVAL) {
        LOG_ERROR << "Cannot set mutex type to error check. Invalid values. Mutex: " << name_;
    }
    if (result != 0) {
        return initialized_ = false;
    }
    if (robust) {
        result = pthread_mutexattr_setrobust(&attributes_, PTHREAD_MUTEX_ROBUST);
        if (result == ENOMEM) {
            LOG_ERROR << "Cannot initialize mutex with robust attribute. No memory. Mutex: "
                      << name_;
        } else if (result == EINVAL) {
            LOG_ERROR << "Cannot initialize mutex with robust attribute. Invalid value. Mutex: "
                      << name_;
        }
        if (result != 0) {
            return initialized_ = false;
        }
    }
    switch (pthread_mutex_init(&mutex_, &attributes_)) {
        case EPERM:
            LOG_ERROR << "Cannot create mutex. No permissions. Mutex: " << name_;
            return initialized_ = false;
        case EAGAIN:
            LOG_ERROR << "Cannot create mutex. No resources. Mutex already created? Mutex: "
                      << name_;
            return initialized_ = false;
        case ENOMEM:
            LOG_ERROR << "Cannot create mutex. No memory. Mutex: " << name_;
            return initialized_ = false;
        case EBUSY:
            LOG_ERROR << "Cannot create mutex. No permissions. Mutex: " << name_;
            return initialized_ = false;
        case EINVAL:
            LOG_ERROR << "Cannot create mutex.. Invalid value. Mutex: " << name_;
            return initialized_ = false;
        default:
            LOG_INFO << "Mutex " << name_ << " created.";
            return initialized_ = true;
    }
}

bool Mutex::Destroy() {
    if (!initialized_) {
        return false;
    }
    initialized_ = false;
    bool mutexDestroyed = pthread_mutex_destroy(&mutex_) == 0;
    if (mutexDestroyed) {
        LOG_INFO << "Mutex " << name_ << " destroyed.";
    } else {
        LOG_ERROR << "Error destroying mutex " << name_;
    }
    bool attributesDestroyed = pthread_mutexattr_destroy(&attributes_) == 0;
    if (attributesDestroyed) {
        LOG_INFO << "Mutex attribute structure for " << name_ << " destroyed.";
    } else {
        LOG_ERROR << "Error destroying mutex attributes for " << name_;
    }
    return mutexDestroyed && attributesDestroyed;
}

}  // namespace Threading
