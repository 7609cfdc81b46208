/*
 * What the loop runs: a move-only callable that keeps a capture of up to six
 * words inside itself. The loop queues a task for every character, timer
 * tick and completion; std::function would take each of those captures from
 * the heap. Larger captures still work, from the heap.
 */
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace platform {

class Task {
public:
    Task() noexcept = default;
    Task(std::nullptr_t) noexcept {}

    template <typename F, typename Callable = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<Callable, Task> && std::is_invocable_v<Callable&>>>
    Task(F&& callable)
    {
        /* An empty function or a null function pointer makes an empty task. */
        if constexpr (std::is_pointer_v<Callable> || std::is_same_v<Callable, std::function<void()>>) {
            if (!callable) {
                return;
            }
        }
        if constexpr (kFitsInside<Callable>) {
            ::new (static_cast<void*>(storage_)) Callable(std::forward<F>(callable));
            ops_ = &kInsideOps<Callable>;
        } else {
            ::new (static_cast<void*>(storage_)) Callable*(new Callable(std::forward<F>(callable)));
            ops_ = &kOutsideOps<Callable>;
        }
    }

    Task(Task&& other) noexcept { TakeFrom(other); }

    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            Reset();
            TakeFrom(other);
        }
        return *this;
    }

    Task& operator=(std::nullptr_t) noexcept
    {
        Reset();
        return *this;
    }

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    ~Task() { Reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }

    /* Calling an empty task is a programming error, as with std::function. */
    void operator()()
    {
        if (ops_ == nullptr) {
            throw std::bad_function_call();
        }
        ops_->invoke(storage_);
    }

    /* Whether a callable of this type is kept without an allocation. */
    template <typename Callable>
    static constexpr bool kFitsInside = sizeof(Callable) <= 6 * sizeof(void*) &&
                                        alignof(Callable) <= alignof(std::max_align_t) &&
                                        std::is_nothrow_move_constructible_v<Callable>;

private:
    struct Ops {
        void (*invoke)(void* storage);
        /* Moves the callable from one storage to another and ends it in the first. */
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <typename Callable>
    static constexpr Ops kInsideOps{
        [](void* storage) { (*std::launder(static_cast<Callable*>(storage)))(); },
        [](void* from, void* to) noexcept {
            Callable* source = std::launder(static_cast<Callable*>(from));
            ::new (to) Callable(std::move(*source));
            source->~Callable();
        },
        [](void* storage) noexcept { std::launder(static_cast<Callable*>(storage))->~Callable(); },
    };

    template <typename Callable>
    static constexpr Ops kOutsideOps{
        [](void* storage) { (**std::launder(static_cast<Callable**>(storage)))(); },
        [](void* from, void* to) noexcept { ::new (to) Callable*(*std::launder(static_cast<Callable**>(from))); },
        [](void* storage) noexcept { delete *std::launder(static_cast<Callable**>(storage)); },
    };

    void TakeFrom(Task& other) noexcept
    {
        if (other.ops_ != nullptr) {
            other.ops_->relocate(other.storage_, storage_);
            ops_ = std::exchange(other.ops_, nullptr);
        }
    }

    void Reset() noexcept
    {
        if (const Ops* ops = std::exchange(ops_, nullptr)) {
            ops->destroy(storage_);
        }
    }

    alignas(std::max_align_t) std::byte storage_[6 * sizeof(void*)];
    const Ops* ops_ = nullptr;
};

} // namespace platform
