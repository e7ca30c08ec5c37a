// zandrel_torso._engine: the core's operations beyond the seed class, for the
// typed Python layer. Conversion only: arrays in, the core's functions, arrays
// out. The layer above validates geometry and shapes in its own words; what
// reaches here is float64, C-contiguous and of the shapes declared below
// (anything else is a TypeError from the binding).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <new>
#include <stdexcept>

#include "zandrel/forward.hpp"
#include "zandrel/singularity.hpp"

namespace nb = nanobind;

namespace zandrel {
namespace {

using Poses = nb::ndarray<const double, nb::numpy, nb::shape<-1, 4, 4>, nb::c_contig, nb::device::cpu>;
using Pose = nb::ndarray<const double, nb::numpy, nb::shape<4, 4>, nb::c_contig, nb::device::cpu>;
using Points = nb::ndarray<const double, nb::numpy, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::numpy, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using Angles = nb::ndarray<const double, nb::numpy, nb::shape<6>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double, nb::shape<-1>>;

Mat4 pose_at(const double* rows) { return Mat4::from_rows(rows); }

// One mechanism, fixed at construction, with its home pose's Jacobian
// determinant: the reference every margin is measured against.
class Model {
 public:
  Model(double motor_arm_length, double rod_length, Poses t_world_motor, Points branch_platform,
        Values solution, Pose home)
      : model_(motor_arm_length, rod_length) {
    const std::size_t legs = t_world_motor.shape(0);
    if (branch_platform.shape(0) != legs || solution.shape(0) != legs)
      throw std::invalid_argument("t_world_motor, branch_platform and solution differ in leg count");
    for (std::size_t i = 0; i < legs; ++i) {
      const double* p = branch_platform.data() + 3 * i;
      model_.add_branch({p[0], p[1], p[2]}, pose_at(t_world_motor.data() + 16 * i), solution(i));
    }
    // A margin over 1.0 is the determinant itself (NaN without six legs).
    home_determinant_ = zandrel::singularity_margin(model_, pose_at(home.data()), 1.0);
  }

  // Never copied: Python holds the one object (and a copy constructor would
  // make nanobind instantiate the vector's copy, whose allocation check needs
  // a libstdc++ newer than the wheels' policy allows).
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  std::size_t legs() const { return model_.branches.size(); }
  double home_determinant() const { return home_determinant_; }

  Out singularity_margin(Poses poses) const {
    const std::size_t count = poses.shape(0);
    Out out = new_array(count);
    double* values = out.data();
    for (std::size_t k = 0; k < count; ++k)
      values[k] = zandrel::singularity_margin(model_, pose_at(poses.data() + 16 * k), home_determinant_);
    return out;
  }

  double rod_jacobian_determinant(Pose pose, Angles angles) const {
    JointAngles theta;
    for (std::size_t i = 0; i < 6; ++i) theta[i] = angles(i);
    return zandrel::rod_jacobian_determinant(model_, pose_at(pose.data()), theta);
  }

 private:
  // A new array of `count` doubles that NumPy frees. Plain operator new:
  // new double[n] would pull in a libstdc++ symbol (bad_array_new_length)
  // newer than the oldest glibc systems the wheels serve have.
  static Out new_array(std::size_t count) {
    auto* data = static_cast<double*>(::operator new(count * sizeof(double)));
    nb::capsule owner(data, [](void* p) noexcept { ::operator delete(p); });
    return Out(data, {count}, owner);
  }

  Kinematics model_;
  double home_determinant_;
};

}  // namespace
}  // namespace zandrel

NB_MODULE(_engine, m) {
  using zandrel::Model;
  m.doc() = "The kinematics engine behind zandrel_torso (private: use zandrel_torso.Torso).";
  nb::class_<Model>(m, "Model")
      .def(nb::init<double, double, zandrel::Poses, zandrel::Points, zandrel::Values, zandrel::Pose>(),
           nb::arg("motor_arm_length"), nb::arg("rod_length"), nb::arg("t_world_motor"),
           nb::arg("branch_platform"), nb::arg("solution"), nb::arg("home"))
      .def_prop_ro("legs", &Model::legs)
      .def_prop_ro("home_determinant", &Model::home_determinant)
      .def("singularity_margin", &Model::singularity_margin, nb::arg("poses"))
      .def("rod_jacobian_determinant", &Model::rod_jacobian_determinant, nb::arg("pose"),
           nb::arg("joint_angles"));
}
